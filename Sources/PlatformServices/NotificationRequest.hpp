#pragma once

#include <string>

namespace plenwick {

// One notification to post: no subtitle, sound, badge, icon or attachment.
struct NotificationRequest {
    // A new UUID per request, so that no notification takes the place of an earlier one.
    std::string identifier;
    std::string title;
    std::string body;
};

} // namespace plenwick
