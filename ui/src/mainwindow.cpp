#include "kivobridge/log.h"

#include "ui/mainwindow.h"

#include <QWidget>

#include "app/kivocamdata.h"

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(QString::fromUtf8("Kivo虚拟摄像头"));
    setCentralWidget(new QWidget(this));
    resize(960, 600);
    // Every window, form and server reads its settings from here; load them first.
    KivoCamData::instance();
    LOGI("main window ready");
}

MainWindow::~MainWindow() {
    LOGI("main window closed");
}
