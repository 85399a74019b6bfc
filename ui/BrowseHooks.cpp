#include "ui/BrowseHooks.h"

#include <QMenu>
#include <QUrl>

#include "app/DownloaderApp.h"
#include "res/texts/BrowseTexts.h"
#include "ui/MessageBoxes.h"
#include "ui/SystemOpener.h"

BrowseHooks& GetBrowseHooks() {
  static BrowseHooks hooks;
  return hooks;
}

void BrowseMessageBox(QWidget* owner, const QString& text, const QString& caption, bool okCancel,
                      std::function<void(bool ok)> then) {
  if (auto& hook = GetBrowseHooks().messageBox) {
    const bool ok = hook(owner, text, caption, okCancel);
    if (then) then(ok);
    return;
  }
  CMessageBoxes::Show(owner, text, caption, okCancel, std::move(then));
}

QAction* BrowsePopupMenu(QMenu& menu, const QPoint& globalPos) {
  if (auto& hook = GetBrowseHooks().popupMenu) return hook(menu, globalPos);
  return menu.exec(globalPos);
}

void BrowseOpenFile(const QUrl& url, const QString& shownName) {
  if (auto& hook = GetBrowseHooks().openUrl) {
    hook(url);
    return;
  }
  CSystemOpener::Open(url, [shownName] {
    BrowseMessageBox(nullptr, QString::fromUtf8(txt::kCannotOpenFile) + shownName, QString(), false);
  });
}

void BrowseOpenLink(const QUrl& url) {
  if (auto& hook = GetBrowseHooks().openUrl) {
    hook(url);
    return;
  }
  const QString address = url.toString();
  CSystemOpener::Open(url, [address] {
    BrowseMessageBox(nullptr, QString::fromUtf8(txt::kCannotOpenLink) + address, QString(), false);
  });
}

bool BrowseAddTasks(const std::string& names) {
  if (auto& hook = GetBrowseHooks().addTasks) return hook(names);
  CDownloaderApp* app = GetApp();
  return app && app->AddTasks(names);
}
