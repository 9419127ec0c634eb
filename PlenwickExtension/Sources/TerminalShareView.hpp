#pragma once

#include "ShareView.hpp"

namespace plenwick {

// The share without a display: the label as a progress line on standard error, one more line
// as each photo finishes.
class TerminalShareView final : public ShareView {
public:
    void show(const std::string& label) override;
    // One write per line, so it needs no hand-over to another thread.
    void showProgress(const std::string& label) override;
};

} // namespace plenwick
