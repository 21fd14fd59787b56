// Turns SIGTERM and SIGINT into a clean end of the event loop (exit code 0), so the program
// winds down through its destructors instead of dying mid-write.
// Thread rules: install() once on the GUI thread, before or after the application object
// exists; the watcher (a child of the application) polls on the GUI thread.
#pragma once

#include <QObject>

class QTimer;

class ShutdownSignals : public QObject {
    Q_OBJECT

public:
    // Installs the handlers. A signal that arrives before a watcher runs is kept for it.
    static void install();
    // Starts watching; ends the event loop of the application with 0 once a signal came.
    explicit ShutdownSignals(QObject* parent);

    static bool requested();

private:
    void poll();

    QTimer* timer_;
};
