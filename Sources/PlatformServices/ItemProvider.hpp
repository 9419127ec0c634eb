#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

namespace plenwick {

// One shared attachment, able to deliver itself in one or more type representations. Loads answer
// later, on a thread of the provider's own, and call their callback exactly once; the provider
// waits for its deliveries to end before it goes.
class ItemProvider {
public:
    // What a load of the file-URL item delivers: nothing, a URL, or the bytes of a URL's data
    // representation (the URL's text in UTF-8).
    using Item = std::variant<std::monostate, std::string, std::vector<uint8_t>>;
    using ItemCallback = std::function<void(Item item, std::optional<std::string> error)>;
    // The temporary file exists only while the callback runs.
    using FileCallback = std::function<void(std::optional<std::filesystem::path> temporaryFile,
                                            std::optional<std::string> error)>;

    virtual ~ItemProvider() = default;

    // Type identifiers in the provider's order of preference.
    virtual std::vector<std::string> registeredTypeIdentifiers() const = 0;
    virtual std::optional<std::string> suggestedName() const { return std::nullopt; }
    // Loads the item of the public.file-url type.
    virtual void loadFileURLItem(ItemCallback callback) = 0;
    virtual void loadFileRepresentation(const std::string& typeIdentifier,
                                        FileCallback callback) = 0;

    // Whether a registered type conforms to `typeIdentifier`; an identifier outside the type
    // table conforms only to itself.
    bool hasItemConformingTo(std::string_view typeIdentifier) const;

protected:
    // Runs one delivery on a thread of its own. A delivery that throws ends its thread quietly;
    // the loader's answer then counts as not delivered.
    static std::jthread startDelivery(std::function<void()> delivery);
};

} // namespace plenwick
