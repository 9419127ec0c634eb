#include "PlenwickCore/PlenwickCore.hpp"

#include "PlenwickCore/VersionCollector.hpp"

#include <algorithm>
#include <thread>

#include <vips/vips8>

namespace plenwick {

namespace {

void dropMessage(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

} // namespace

std::string_view PlenwickCore::version() {
    return PLENWICK_VERSION;
}

std::string_view PlenwickCore::build() {
    return PLENWICK_BUILD_NUMBER;
}

int64_t PlenwickCore::buildNumber() {
    static const int64_t number = VersionCollector::buildNumber(build()).value_or(0);
    return number;
}

bool PlenwickCore::start(const char* programName) {
    static const bool started = [programName] {
        if (VIPS_INIT(programName) != 0)
            return false;
        // Every input is read once per share: cached operations would only hold on to decoded
        // pixels, and would hand back stale ones for a file replaced under the same name.
        vips_cache_set_max(0);
        // Shared files come from anywhere; loaders not hardened against hostile input stay shut.
        vips_block_untrusted_set(TRUE);
        // A damaged file already comes back as an error value; libvips' warnings about it
        // ("error in tile 0 x 168") would only clutter the terminal.
        g_log_set_handler("VIPS", G_LOG_LEVEL_WARNING, dropMessage, nullptr);
        return true;
    }();
    return started;
}

void PlenwickCore::shareCores(int jobs) {
    int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    vips_concurrency_set(std::max(1, cores / std::max(1, jobs)));
}

} // namespace plenwick
