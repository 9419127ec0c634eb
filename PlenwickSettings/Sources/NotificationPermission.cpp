#include "NotificationPermission.hpp"

#include "PlatformServices/NotificationCenter.hpp"

namespace plenwick {

NotificationPermission NotificationPermission::desktop() {
    // The request's own answer is not used: the status read afterwards tells the verdict.
    return {[] { return NotificationCenter::current().authorizationStatus(); },
            [] { NotificationCenter::current().requestAuthorization(); }};
}

} // namespace plenwick
