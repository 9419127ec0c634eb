#pragma once

#include <string>

namespace plenwick {

// What the user sees while a share runs: a spinner and one line of text. The window and the
// terminal each draw it their own way; the share session only says what to show.
class ShareView {
public:
    virtual ~ShareView() = default;

    virtual void show(const std::string& label) = 0;
    // A new label while the share runs, called on the share's own thread; the view brings it to
    // the thread that draws it.
    virtual void showProgress(const std::string& label) = 0;
};

} // namespace plenwick
