#pragma once

#include <QTimer>
#include <QWidget>

namespace plenwick {

// An indeterminate progress indicator in the spinning style: twelve spokes, one highlighted,
// stepping round while the share runs.
class Spinner final : public QWidget {
    Q_OBJECT

public:
    explicit Spinner(QWidget* parent = nullptr);

    void start();
    bool isSpinning() const { return m_timer.isActive(); }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QTimer m_timer;
    int m_step = 0;
};

} // namespace plenwick
