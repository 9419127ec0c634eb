#pragma once

#include "PlatformServices/FileDescriptor.hpp"
#include "PlatformServices/ItemProvider.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace plenwick {

// Turns the providers of a share into local image files: provider i is staged in the folder
// "item_<i>" of the staging folder, from its image representation, else from its file URL. The
// providers are handled strictly one after another on the calling thread, which waits for each
// delivery. Nothing is thrown: every problem becomes a note, even a delivery that throws, and a
// provider that yields no file counts as skipped.
namespace ItemLoader {

struct Result {
    // One staged file per provider that yielded one, in provider order.
    std::vector<std::filesystem::path> files;
    int64_t skipped = 0;
    // Every note, in the order made, each prefixed "item <i>: ".
    std::vector<std::string> notes;
    // The descriptors that files staged by reference are read through: they stay open as
    // long as the result is kept, which must be until the export is done.
    std::vector<std::shared_ptr<const FileDescriptor>> references = {};

    // What was staged and said; how it was staged does not count.
    bool operator==(const Result& other) const {
        return files == other.files && skipped == other.skipped && notes == other.notes;
    }
};

// Folders are created (mode 0700, with missing parents) only when a file is about to be
// staged into them; the caller removes the staging folder. A file is staged without copying
// its bytes where the system allows it (FileStaging). A stop request ends the load at once,
// whatever it waits on, even a provider that never answers: the result then holds what was
// staged until then, and the providers not yet handled are left out.
Result load(const std::vector<std::shared_ptr<ItemProvider>>& providers,
            const std::filesystem::path& staging, std::stop_token stop = {});

} // namespace ItemLoader

} // namespace plenwick
