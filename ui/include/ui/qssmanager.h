// Loads a style sheet resource onto its parent widget, scaled to the screen's logical DPI, and
// scales layout margins and spacing by the same factor.
// Thread rules: GUI thread only; scaleStyleSheet() is pure and may run anywhere.
#pragma once

#include <QObject>
#include <QString>

class QLayout;
class QWidget;

class QssManager : public QObject {
    Q_OBJECT

public:
    // With scaleLayouts, the parent's layout tree is scaled at once.
    explicit QssManager(QWidget* parent, bool scaleLayouts = false);

    // A resource that cannot be opened leaves the widget as it is. In English, a sheet "x_en.qss"
    // beside "x.qss" is appended: the longer texts get their room there, and the Chinese look
    // stays as it is.
    void loadStyleSheet(const QString& resourcePath);
    // Margins and spacing times scaleFactor(), truncated; child layouts too.
    void scaleLayout(QLayout* layout);

    // Primary screen logical DPI / 96 (1 without a screen).
    static double scaleFactor();
    // Every "Npx;" times s (6 significant digits, never locale formatted); unchanged when s <= 1.
    static QString scaleStyleSheet(const QString& text, double s);
    // When s > 1, every "url(:/...png)" whose "@2x.png" twin exists points at the twin.
    static QString withSharpPictures(const QString& text, double s);
};
