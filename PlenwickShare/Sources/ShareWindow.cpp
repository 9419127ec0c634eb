#include "ShareWindow.hpp"

#include "Spinner.hpp"

#include <QCloseEvent>
#include <QFontDatabase>

namespace plenwick {

ShareWindow::ShareWindow(std::function<void()> dismiss) : m_dismiss(std::move(dismiss)) {
    setWindowTitle("Plenwick");
    setFixedSize(260, 64);

    // Placed as the design draws them from the lower-left corner: the spinner at (20, 20),
    // 24 square, the label at (54, 24), 200 × 18.
    m_spinner = new Spinner(this);
    m_spinner->setGeometry(20, 64 - 20 - 24, 24, 24);

    m_label = new QLabel(this);
    m_label->setGeometry(54, 64 - 24 - 18, 200, 18);
    // The small variant of the system font: 11 points where the regular one has 13.
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * 11.0 / 13.0);
    m_label->setFont(font);
    m_label->setTextInteractionFlags(Qt::NoTextInteraction);
}

void ShareWindow::show(const std::string& label) {
    setLabel(QString::fromStdString(label));
    m_spinner->start();
    QWidget::show();
}

void ShareWindow::showProgress(const std::string& label) {
    // Queued to the GUI thread; dropped if the window is gone by then.
    QMetaObject::invokeMethod(
        this, [this, text = QString::fromStdString(label)] { setLabel(text); },
        Qt::QueuedConnection);
}

void ShareWindow::setLabel(const QString& text) {
    // Only ever wider: a window that shrinks back as "9 of 12" becomes "10 of 12" would jitter.
    int needed = m_label->fontMetrics().horizontalAdvance(text);
    if (needed > m_label->width()) {
        int rightMargin = width() - m_label->geometry().right() - 1;
        m_label->resize(needed, m_label->height());
        setFixedSize(m_label->x() + needed + rightMargin, height());
    }
    m_label->setText(text);
    m_label->setToolTip(text);
}

void ShareWindow::closeEvent(QCloseEvent* event) {
    if (m_dismiss)
        m_dismiss();
    event->accept();
}

} // namespace plenwick
