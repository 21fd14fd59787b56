// The gallery's registry of shots: a name (the PNG file's base name, saying what it shows) and a
// function that builds the window in that state. The gallery shows it, waits until it is on
// screen, saves it and deletes it.
// Thread rules: GUI thread only.
#pragma once

#include <QString>

#include <functional>
#include <vector>

class QWidget;

namespace gallery {

using Factory = std::function<QWidget*()>;

struct Shot {
    QString name;
    Factory make;
};

void addShot(const QString& name, Factory make);
const std::vector<Shot>& shots();

// Each file of shots has one of these; main() calls them in this order.
void addDialogShots();
void addMainWindowShots();

}  // namespace gallery
