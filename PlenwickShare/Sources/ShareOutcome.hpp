#pragma once

#include <string>

namespace plenwick {

// How a share ended, for the host's exit status and the terminal's last line.
struct ShareOutcome {
    enum class Status { exported, incomplete, dismissed };

    Status status = Status::exported;
    // The notification body; empty when the share was dismissed while loading.
    std::string body;

    // 0 when every input was exported, 1 with failures or skipped items, 130 when dismissed.
    int exitStatus() const;
};

} // namespace plenwick
