#pragma once

#include <cstdint>
#include <functional>

namespace plenwick {

// The two questions the settings window puts to the notification centre. Both may wait on the
// session bus, so the model asks them off the GUI thread.
struct NotificationPermission {
    // The authorization status as the settings store it: 1 denied (no notification service
    // answers), 2 authorized; 0, not determined, is only ever stored, never answered.
    std::function<int64_t()> status;
    // Asks to post notifications, which on the desktop only probes the service again; the verdict
    // shows through `status` afterwards.
    std::function<void()> request;

    // The desktop's notification centre.
    static NotificationPermission desktop();
};

} // namespace plenwick
