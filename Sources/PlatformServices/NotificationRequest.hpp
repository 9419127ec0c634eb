#pragma once

#include <string>

namespace plenwick {

// One notification to post: no subtitle, sound, badge, icon or attachment. It never takes the
// place of an earlier one: NotificationCenter posts every request with replaces_id 0.
struct NotificationRequest {
    // A new UUID per request; the notification server is never told it.
    std::string identifier;
    std::string title;
    std::string body;
};

} // namespace plenwick
