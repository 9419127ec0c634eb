#include "PlenwickCore/ImageLibrary.hpp"

#include <algorithm>
#include <thread>

#include <vips/vips8>

namespace plenwick::ImageLibrary {

namespace {

void dropMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

} // namespace

Expected<void, SystemError> start(const char* programName) {
    static const Expected<void, SystemError> started =
        [programName]() -> Expected<void, SystemError> {
        // libvips' own error buffer is not read: a libvips that failed early has not made the
        // lock that guards it.
        if (VIPS_INIT(programName) != 0)
            return SystemError{"the image library could not start"};
        // Every input is read once per share: cached operations would only hold on to decoded
        // pixels, and would hand back stale ones for a file replaced under the same name.
        vips_cache_set_max(0);
        // Shared files come from anywhere; loaders not hardened against hostile input stay shut.
        vips_block_untrusted_set(TRUE);
        // A damaged file already comes back as an error value; libvips' warnings about it
        // ("error in tile 0 x 168") would only clutter the terminal.
        g_log_set_handler("VIPS", G_LOG_LEVEL_WARNING, dropMessage, nullptr);
        return {};
    }();
    return started;
}

void shareCores(int jobs) {
    int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    vips_concurrency_set(std::max(1, cores / std::max(1, jobs)));
}

} // namespace plenwick::ImageLibrary
