// Registers and unregisters the camera component kivocam-vcam, which lives beside the program.
// Neither command's result is looked at: a missing component only means no camera for others.
// Thread rules: GUI thread (the registration is finished by a single-shot timer of this object).
#pragma once

#include <QObject>
#include <QString>

class VirtualCameraRegistrar : public QObject {
    Q_OBJECT

public:
    static constexpr int kRegisterDelayMs = 5;

    explicit VirtualCameraRegistrar(QObject* parent = nullptr) : QObject(parent) {}

    // Starts "kivocam-vcam --unregister" detached; with reRegister, "kivocam-vcam --register"
    // follows 5 ms later (also detached). The component keeps running after the program ends.
    void registerVirtualCamera(bool reRegister);

    // <folder of the running program>/kivocam-vcam.
    static QString componentPath();
};
