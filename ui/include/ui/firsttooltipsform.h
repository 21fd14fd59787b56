// The first-run bubble that points at a button: a painted rounded box with an arrow, a hint and a
// "关闭提示" button. Without a compositor its painted shape is also its window mask.
// Thread rules: GUI thread only.
#pragma once

#include <QColor>
#include <QPainterPath>
#include <QWidget>

namespace Ui {
class FirstTooltipsForm;
}

class FirstTooltipsForm : public QWidget {
    Q_OBJECT

public:
    enum ArrowSide { ArrowLeft = 1, ArrowTop = 2, ArrowRight = 3, ArrowBottom = 4 };

    explicit FirstTooltipsForm(QWidget* parent);
    ~FirstTooltipsForm() override;

    void setBackgroundColor(const QColor& color);
    // position: fraction along the side, 0..1.
    void setArrow(int side, double position);
    void setTextColor(const QColor& color);
    void setText(const QString& text);

    // The painted outline for the current size.
    QPainterPath bubblePath() const;

signals:
    void sig_firstClose();

private slots:
    void on_pushButton_ftip_close_clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateMask();

    Ui::FirstTooltipsForm* ui;
    QColor color_{165, 197, 243};
    int arrowSide_ = ArrowBottom;
    double arrowPos_ = 0.5;
};
