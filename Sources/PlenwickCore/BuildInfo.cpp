#include "PlenwickCore/BuildInfo.hpp"

#include "PlenwickCore/VersionCollector.hpp"

namespace plenwick::BuildInfo {

std::string_view version() {
    return PLENWICK_VERSION;
}

std::string_view build() {
    return PLENWICK_BUILD_NUMBER;
}

int64_t buildNumber() {
    static const int64_t number = VersionCollector::buildNumber(build()).value_or(0);
    return number;
}

} // namespace plenwick::BuildInfo
