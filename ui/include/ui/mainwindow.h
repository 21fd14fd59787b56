// The program's main window. For now a bare frame that brings up the configuration store; the
// picture, the forms and the servers it owns are added as they are built.
// Thread rules: GUI thread only.
#pragma once

#include <QMainWindow>

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;
};
