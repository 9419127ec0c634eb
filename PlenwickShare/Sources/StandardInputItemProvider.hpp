#pragma once

#include "PlatformServices/Expected.hpp"
#include "PlatformServices/ItemProvider.hpp"
#include "PlatformServices/SystemError.hpp"
#include "PlatformServices/TemporaryFolder.hpp"

#include <thread>

namespace plenwick {

// Image bytes piped to the share ("-"). They are read to the end when the provider is made and
// kept in a private temporary folder, not in memory; more than a photo can be
// (FileStaging::largestPipedPhoto) is not kept at all. The provider registers the bytes' sniffed
// type (public.data when no type matches, nothing at all for no bytes); it has no name and no
// file URL. Its one file representation is "image.<extension>" and is removed as soon as the
// callback returns: standard input can be delivered only once.
class StandardInputItemProvider final : public ItemProvider {
public:
    // Reading ends early, with a failure, once `cancelDescriptor` becomes readable.
    explicit StandardInputItemProvider(int descriptor = 0, int cancelDescriptor = -1);
    ~StandardInputItemProvider() override;
    StandardInputItemProvider(const StandardInputItemProvider&) = delete;
    StandardInputItemProvider& operator=(const StandardInputItemProvider&) = delete;

    std::vector<std::string> registeredTypeIdentifiers() const override;
    void loadFileURLItem(ItemCallback callback) override;
    void loadFileRepresentation(const std::string& typeIdentifier, FileCallback callback) override;

private:
    Expected<void, SystemError> store(int descriptor, int cancelDescriptor);

    std::optional<std::string> m_type;
    std::optional<TemporaryFolder> m_folder;
    std::filesystem::path m_file;
    // Why the bytes could not be kept, for the delivery to say.
    std::optional<std::string> m_failure;
    bool m_delivered = false;
    std::vector<std::jthread> m_deliveries;
};

} // namespace plenwick
