#include "ui/prompts.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace ui {
namespace {

std::function<bool(BoxKind, const QString&, const QString&)>& boxHook() {
    static std::function<bool(BoxKind, const QString&, const QString&)> hook;
    return hook;
}
std::function<QString(const QString&, const QString&)>& directoryHook() {
    static std::function<QString(const QString&, const QString&)> hook;
    return hook;
}
std::function<bool(const QUrl&)>& openUrlHook() {
    static std::function<bool(const QUrl&)> hook;
    return hook;
}

}  // namespace

bool showBox(QWidget* parent, BoxKind kind, const QString& title, const QString& text) {
    if (boxHook()) return boxHook()(kind, title, text);
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setText(text);
    if (kind == BoxKind::Question) {
        box.setIcon(QMessageBox::Question);
        QPushButton* yes =
            box.addButton(QCoreApplication::translate("ui::Prompts", "是"), QMessageBox::YesRole);
        box.addButton(QCoreApplication::translate("ui::Prompts", "否"), QMessageBox::NoRole);
        box.setDefaultButton(yes);
        box.exec();
        return box.clickedButton() == yes;
    }
    box.setIcon(kind == BoxKind::Warning ? QMessageBox::Warning : QMessageBox::Information);
    box.setDefaultButton(
        box.addButton(QCoreApplication::translate("ui::Prompts", "确定"), QMessageBox::AcceptRole));
    box.exec();
    return true;
}

QString chooseDirectory(QWidget* parent, const QString& caption, const QString& start) {
    if (directoryHook()) return directoryHook()(caption, start);
    return QFileDialog::getExistingDirectory(parent, caption, start, QFileDialog::ShowDirsOnly);
}

bool openUrl(const QUrl& url) {
    if (openUrlHook()) return openUrlHook()(url);
    return QDesktopServices::openUrl(url);
}

void setBoxHook(std::function<bool(BoxKind, const QString&, const QString&)> hook) {
    boxHook() = std::move(hook);
}
void setDirectoryHook(std::function<QString(const QString&, const QString&)> hook) {
    directoryHook() = std::move(hook);
}
void setOpenUrlHook(std::function<bool(const QUrl&)> hook) {
    openUrlHook() = std::move(hook);
}

}  // namespace ui
