#pragma once

#include "ShareView.hpp"

#include <functional>

#include <QLabel>
#include <QWidget>

namespace plenwick {

class Spinner;

// The 260 × 64 window of a share: a spinner and the label. The window grows wider when the label
// needs it, so that the text is never cut. Closing it dismisses the share.
class ShareWindow final : public QWidget, public ShareView {
    Q_OBJECT

public:
    explicit ShareWindow(std::function<void()> dismiss);

    void show(const std::string& label) override;
    void showProgress(const std::string& label) override;

    Spinner* spinner() const { return m_spinner; }
    QLabel* label() const { return m_label; }

protected:
    void closeEvent(QCloseEvent*) override;

private:
    void setLabel(const QString& text);

    std::function<void()> m_dismiss;
    Spinner* m_spinner = nullptr;
    QLabel* m_label = nullptr;
};

} // namespace plenwick
