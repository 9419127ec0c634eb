#pragma once

#include "ShareView.hpp"

namespace plenwick {

// The share without a display: the label as a progress line on standard error and, when there
// is more than one photo, one more line as each finishes.
class TerminalShareView final : public ShareView {
public:
    void show(const std::string& label) override;
    // One write per line, so it needs no hand-over to another thread.
    void showProgress(const std::string& label) override;
};

} // namespace plenwick
