#pragma once

#include "PlatformServices/ItemProvider.hpp"

#include <functional>
#include <memory>
#include <vector>

namespace plenwick {

// What the host hands the share: one provider per thing to share, and how to tell the host that
// the share has finished. `onFinished` is called from the share's own thread.
struct ShareRequest {
    std::vector<std::shared_ptr<ItemProvider>> providers;
    std::function<void()> onFinished;
};

} // namespace plenwick
