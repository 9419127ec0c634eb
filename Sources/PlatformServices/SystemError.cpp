#include "PlatformServices/SystemError.hpp"

#include <cstring>

namespace plenwick {

SystemError SystemError::fromErrno(std::string_view what, int code) {
    SystemError error{std::strerror(code), code};
    return what.empty() ? error : error.prefixed(what);
}

SystemError SystemError::prefixed(std::string_view what) const {
    return {std::string(what) + ": " + message, code};
}

} // namespace plenwick
