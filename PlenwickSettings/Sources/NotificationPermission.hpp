#pragma once

#include <cstdint>
#include <functional>

namespace plenwick {

// The two questions the settings window puts to the notification centre. Both may wait on the
// session bus, so the model asks them off the GUI thread.
struct NotificationPermission {
    // The authorization status as the platform numbers it: 0 not determined, 1 denied,
    // 2 authorized, 3 provisional, 4 ephemeral.
    std::function<int64_t()> status;
    // Asks to post alerts with sound; the verdict shows through `status` afterwards.
    std::function<void()> request;

    // The desktop's notification centre.
    static NotificationPermission desktop();
};

} // namespace plenwick
