#pragma once

#include "ShareView.hpp"

namespace plenwick {

// The share without a display: the label as a progress line on standard error.
class TerminalShareView final : public ShareView {
public:
    void show(const std::string& label) override;
};

} // namespace plenwick
