// The waiting page's spinner: a label that shows its picture turned a little further on every
// tick. All spinners of the process share one angle, so two of them always agree.
// Thread rules: GUI thread only.
#pragma once

#include <QLabel>
#include <QPixmap>
#include <QTimer>

class RotateLabel : public QLabel {
    Q_OBJECT

public:
    explicit RotateLabel(QWidget* parent = nullptr);

    // Keeps the old picture when the file does not exist.
    void setPicture(const QString& path);
    void setInterval(int ms);
    void start();
    void stop();
    bool isRunning() const { return timer_.isActive(); }
    // Degrees, shared by every spinner.
    static double angle() { return angle_; }

private:
    void tick();

    QPixmap source_;
    QPixmap scaled_;  // source_ at the size the label had when it was last drawn
    QTimer timer_;
    int interval_ = 100;
    static double angle_;
};
