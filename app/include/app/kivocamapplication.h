// The program's application object: owns the main window (created by the first event of the
// event loop) and brings it to the front when a later start asks for it.
// Thread rules: GUI thread only.
#pragma once

#include <QPointer>

#include "app/basesingleapplication.h"

class MainWindow;

class KivoCamApplication : public BaseSingleApplication {
    Q_OBJECT

public:
    KivoCamApplication(int& argc, char** argv);
    ~KivoCamApplication() override;

    MainWindow* mainWindow() const;

public slots:
    void slot_initialize();

private:
    void onReceivedMessage(quint32 instanceId, const QByteArray& message);

    QPointer<MainWindow> mainWindow_;
};
