#include "PlatformServices/ItemProvider.hpp"

#include "PlatformServices/UniformType.hpp"

namespace plenwick {

bool ItemProvider::hasItemConformingTo(std::string_view typeIdentifier) const {
    auto wanted = UniformType::withIdentifier(typeIdentifier);
    for (const std::string& identifier : registeredTypeIdentifiers()) {
        if (identifier == typeIdentifier)
            return true;
        auto type = UniformType::withIdentifier(identifier);
        if (type && wanted && type->conformsTo(*wanted))
            return true;
    }
    return false;
}

std::jthread ItemProvider::startDelivery(std::function<void()> delivery) {
    return std::jthread([delivery = std::move(delivery)] {
        try {
            delivery();
        } catch (...) {
            // Nothing may leave a thread; the waiting loader is answered when its callback goes.
        }
    });
}

} // namespace plenwick
