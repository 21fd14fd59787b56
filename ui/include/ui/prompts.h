// The one seam for message boxes, the folder chooser and the desktop opener, so tests can answer
// instead of a person.
// Thread rules: GUI thread only.
#pragma once

#include <QString>
#include <QUrl>

#include <functional>

class QWidget;

namespace ui {

enum class BoxKind { Information, Warning, Question };

// Modal box. Question: buttons "是" (default) and "否", true for "是". Information and Warning:
// one button "确定", true.
bool showBox(QWidget* parent, BoxKind kind, const QString& title, const QString& text);
// Directories only; empty when cancelled.
QString chooseDirectory(QWidget* parent, const QString& caption, const QString& start);
// The desktop's default handler; false when the opener failed.
bool openUrl(const QUrl& url);

// An empty function restores the real behaviour.
void setBoxHook(std::function<bool(BoxKind, const QString& title, const QString& text)> hook);
void setDirectoryHook(std::function<QString(const QString& caption, const QString& start)> hook);
void setOpenUrlHook(std::function<bool(const QUrl&)> hook);

}  // namespace ui
