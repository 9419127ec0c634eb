#pragma once

#include <cerrno>
#include <string>
#include <string_view>

namespace plenwick {

// Why a call to the system or to a library below us failed, in words: what we were doing when
// that helps the reader, then the system's own message (strerror, sqlite3_errmsg, the bus's
// error text).
struct SystemError {
    std::string message;
    // The errno value behind it, where there is one; 0 otherwise.
    int code = 0;

    // errno's message (or `code`'s), after "`what`: " when `what` is given.
    static SystemError fromErrno(std::string_view what = {}, int code = errno);
    // The same error after "`what`: ".
    SystemError prefixed(std::string_view what) const;
};

} // namespace plenwick
