#include "windowtest.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <QWidget>

#include <cmath>
#include <cstring>

#include "mirror/videoframe.h"
#include "test_env.h"
#include "hub/mediafunctions.h"

namespace windowtest {

bool waitFor(const std::function<bool()>& cond, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!cond()) {
        if (timer.elapsed() > ms) return cond();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

void settle(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

Phone::~Phone() {
    if (running()) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool Phone::start(quint16 port, const QStringList& args) {
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(kivotest::binDir() + "/kivocam-phonesim",
                   QStringList{"--port", QString::number(port)} + args);
    return process_.waitForStarted(5000);
}

int Phone::finish(int timeoutMs) {
    waitFor([this] { return !running(); }, timeoutMs);
    output_ += QString::fromUtf8(process_.readAll());
    if (running()) return -1;
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

Boxes::Boxes(bool answer) {
    ui::setBoxHook([this, answer](ui::BoxKind kind, const QString& title, const QString& text) {
        shown_.push_back({kind, title, text});
        return answer;
    });
}

Boxes::~Boxes() {
    ui::setBoxHook({});
}

bool Boxes::contains(const QString& text) const {
    for (const Shown& s : shown_)
        if (s.text == text) return true;
    return false;
}

void rejectNextModal() {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            if (!modal->isVisible()) return;
            QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
            poll->deleteLater();
        }
    });
    poll->start(20);
}

double psnrRgb(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.isNull()) return 0.0;
    const QImage x = a.convertToFormat(QImage::Format_RGB32);
    const QImage y = b.convertToFormat(QImage::Format_RGB32);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        const auto* p = reinterpret_cast<const QRgb*>(x.constScanLine(row));
        const auto* q = reinterpret_cast<const QRgb*>(y.constScanLine(row));
        for (int col = 0; col < x.width(); ++col) {
            const double dr = qRed(p[col]) - qRed(q[col]);
            const double dg = qGreen(p[col]) - qGreen(q[col]);
            const double db = qBlue(p[col]) - qBlue(q[col]);
            sum += dr * dr + dg * dg + db * db;
        }
    }
    if (sum == 0) return 99.0;
    const double count = 3.0 * x.width() * x.height();
    return 10.0 * std::log10(255.0 * 255.0 * count / sum);
}

std::vector<QImage> readDumpAsRgb(const QString& path, int width, int height) {
    std::vector<QImage> out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return out;
    const qint64 size = qint64(width) * height * 3 / 2;
    while (true) {
        const QByteArray bytes = file.read(size);
        if (bytes.size() != size) break;
        I420Frame frame(width, height, width, width / 2, width / 2);
        std::memcpy(frame.dataY(), bytes.constData(), size_t(size));
        out.push_back(media::toBottomUpRgba(frame).mirrored(false, true));
    }
    return out;
}

}  // namespace windowtest
