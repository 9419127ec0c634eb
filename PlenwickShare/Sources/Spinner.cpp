#include "Spinner.hpp"

#include <QPainter>

namespace plenwick {

namespace {

constexpr int spokes = 12;

} // namespace

Spinner::Spinner(QWidget* parent) : QWidget(parent) {
    m_timer.setInterval(80);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % spokes;
        update();
    });
}

void Spinner::start() {
    m_timer.start();
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const double radius = std::min(width(), height()) / 2.0;
    QColor colour = palette().color(QPalette::WindowText);
    for (int spoke = 0; spoke < spokes; ++spoke) {
        // Spokes fade behind the leading one, which gives the turning look.
        int age = (m_step - spoke + spokes) % spokes;
        colour.setAlphaF(1.0 - age / static_cast<double>(spokes) * 0.85);
        QPen pen(colour, radius * 0.18, Qt::SolidLine, Qt::RoundCap);
        painter.setPen(pen);
        painter.save();
        painter.rotate(spoke * 360.0 / spokes);
        painter.drawLine(QPointF(0, -radius * 0.45), QPointF(0, -radius * 0.85));
        painter.restore();
    }
}

} // namespace plenwick
