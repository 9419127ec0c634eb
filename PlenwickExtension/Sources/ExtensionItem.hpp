#pragma once

#include "PlatformServices/ItemProvider.hpp"

#include <memory>
#include <vector>

namespace plenwick {

// One thing handed to the share, with the providers of its attachments.
struct ExtensionItem {
    std::vector<std::shared_ptr<ItemProvider>> attachments;
};

} // namespace plenwick
