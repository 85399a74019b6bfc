#include "ui/BrowseHooks.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QUrl>

#include "app/DownloaderApp.h"

BrowseHooks& GetBrowseHooks() {
  static BrowseHooks hooks;
  return hooks;
}

bool BrowseMessageBox(QWidget* owner, const QString& text, const QString& caption, bool okCancel) {
  if (auto& hook = GetBrowseHooks().messageBox) return hook(owner, text, caption, okCancel);
  // An empty caption is the program's own title, as for any plain box.
  const QString title = caption.isEmpty() ? QGuiApplication::applicationDisplayName() : caption;
  QMessageBox box(QMessageBox::Information, title, text,
                  okCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok, owner);
  return box.exec() == QMessageBox::Ok;
}

QAction* BrowsePopupMenu(QMenu& menu, const QPoint& globalPos) {
  if (auto& hook = GetBrowseHooks().popupMenu) return hook(menu, globalPos);
  return menu.exec(globalPos);
}

void BrowseOpenUrl(const QUrl& url) {
  if (auto& hook = GetBrowseHooks().openUrl) {
    hook(url);
    return;
  }
  QDesktopServices::openUrl(url);
}

bool BrowseAddTasks(const std::string& names) {
  if (auto& hook = GetBrowseHooks().addTasks) return hook(names);
  CDownloaderApp* app = GetApp();
  return app && app->AddTasks(names);
}
