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

// Shows a box without waiting for it; then (if any) runs with true for OK
// when it closes, or at once when a test hook answers. A box with the same
// text already on screen is raised and answers for both.
void BrowseMessageBox(QWidget* owner, const QString& text, const QString& caption, bool okCancel,
                      std::function<void(bool ok)> then = {});
QAction* BrowsePopupMenu(QMenu& menu, const QPoint& globalPos);
// A file for the system's player, named as the user sees it in messages.
void BrowseOpenFile(const QUrl& url, const QString& shownName);
// An outside address for the system's browser.
void BrowseOpenLink(const QUrl& url);
bool BrowseAddTasks(const std::string& names);
