#include "CommandLineItem.hpp"

#include "FileItemProvider.hpp"
#include "PlatformServices/FileURL.hpp"
#include "StandardInputItemProvider.hpp"
#include "URLItemProvider.hpp"

#include <cctype>
#include <filesystem>
#include <string_view>

namespace plenwick::CommandLineItem {

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

std::unique_ptr<ItemProvider> provider(const std::string& argument, int standardInput,
                                       int cancelDescriptor) {
    if (argument == "-")
        return std::make_unique<StandardInputItemProvider>(standardInput, cancelDescriptor);
    if (FileURL::hasFileScheme(argument)) {
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

} // namespace plenwick::CommandLineItem
