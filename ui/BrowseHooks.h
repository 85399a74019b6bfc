#pragma once
// The browsing views' ways out of the program: modal boxes, menus, the
// system's opener and the task table. Each can be replaced, so that tests
// answer boxes and pick menu entries without a modal loop and start no
// player or download.
#include <QString>
#include <functional>
#include <string>

class QAction;
class QMenu;
class QPoint;
class QUrl;
class QWidget;

struct BrowseHooks {
  // Returns true for OK. okCancel false: a plain box with an OK button.
  std::function<bool(QWidget* owner, const QString& text, const QString& caption, bool okCancel)> messageBox;
  // The entry chosen from a pop-up menu at a screen point, or null.
  std::function<QAction*(QMenu& menu, const QPoint& globalPos)> popupMenu;
  std::function<void(const QUrl& url)> openUrl;
  // GBK song names separated by ";".
  std::function<bool(const std::string& names)> addTasks;
};

// The hooks in force; empty members fall back to the real behaviour.
BrowseHooks& GetBrowseHooks();

bool BrowseMessageBox(QWidget* owner, const QString& text, const QString& caption, bool okCancel);
QAction* BrowsePopupMenu(QMenu& menu, const QPoint& globalPos);
void BrowseOpenUrl(const QUrl& url);
bool BrowseAddTasks(const std::string& names);
