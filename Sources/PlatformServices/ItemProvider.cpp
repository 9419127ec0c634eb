#include "PlatformServices/ItemProvider.hpp"

#include "PlatformServices/FileItemProvider.hpp"
#include "PlatformServices/FileURL.hpp"
#include "PlatformServices/StandardInputItemProvider.hpp"
#include "PlatformServices/URLItemProvider.hpp"
#include "PlatformServices/UniformType.hpp"

#include <cctype>

namespace plenwick {

namespace {

// "scheme://…" as RFC 3986 spells a scheme.
bool looksLikeURI(std::string_view argument) {
    size_t colon = argument.find("://");
    if (colon == 0 || colon == std::string_view::npos ||
        !std::isalpha(static_cast<unsigned char>(argument[0])))
        return false;
    for (char c : argument.substr(0, colon))
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    return true;
}

} // namespace

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

std::unique_ptr<ItemProvider> ItemProvider::forArgument(const std::string& argument,
                                                        int standardInput, int cancelDescriptor) {
    if (argument == "-")
        return std::make_unique<StandardInputItemProvider>(standardInput, cancelDescriptor);
    if (argument.size() >= 5 && std::equal(argument.begin(), argument.begin() + 5, "file:",
                                           [](char a, char b) { return std::tolower(a) == b; })) {
        if (auto path = FileURL::path(argument))
            return std::make_unique<FileItemProvider>(*path);
        return std::make_unique<URLItemProvider>(argument);
    }
    // A file may well be called "a://b"; only a name that is no file is taken for a URI.
    std::error_code ignored;
    if (looksLikeURI(argument) && !std::filesystem::exists(argument, ignored))
        return std::make_unique<URLItemProvider>(argument);
    return std::make_unique<FileItemProvider>(argument);
}

} // namespace plenwick
