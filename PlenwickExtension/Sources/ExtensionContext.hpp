#pragma once

#include "ExtensionItem.hpp"

#include <functional>
#include <vector>

namespace plenwick {

// What the host hands the share: its items, and how to tell the host that the request is done.
// `completeRequest` is called from the share's own thread.
struct ExtensionContext {
    std::vector<ExtensionItem> inputItems;
    std::function<void()> completeRequest;
};

} // namespace plenwick
