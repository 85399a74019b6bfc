#pragma once
// Shared pieces of the browsing view tests: a frame that switches real
// views the way the main frame does, and recorders behind the hooks so no
// box, menu, player or download ever opens.
#include <QAction>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QUrl>
#include <QVBoxLayout>
#include <QWidget>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/TempHome.h"
#include "ui/BrowseFrame.h"
#include "ui/BrowseHooks.h"
#include "ui/DowningList.h"
#include "ui/DragState.h"
#include "ui/MyHtmlView.h"
#include "ui/SongList.h"

class FakeFrame : public QWidget, public IBrowseFrame {
 public:
  FakeFrame() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_pRight = new CDowningList(this);
    m_pBottom = new CMyHtmlView(this);
    layout->addWidget(m_pRight);
    layout->addWidget(m_pBottom);
  }
  void ReplaceRightView(RightView view) override {
    ++m_nRightReplaced;
    delete m_pRight;
    if (view == RightView::SongList)
      m_pRight = new CSongList(this);
    else
      m_pRight = new CDowningList(this);
    static_cast<QVBoxLayout*>(layout())->insertWidget(0, m_pRight);
  }
  void ReplaceBottomView() override {
    ++m_nBottomReplaced;
    delete m_pBottom;
    m_pBottom = new CMyHtmlView(this);
    layout()->addWidget(m_pBottom);
    m_pBottom->setVisible(m_bBottomShown);
  }
  void HideBottomRow() override {
    m_bBottomShown = false;
    m_pBottom->hide();
  }
  void ShowBottomRow() override {
    m_bBottomShown = true;
    m_pBottom->show();
  }
  bool IsBottomRowShown() override { return m_bBottomShown; }
  QWidget* GetRightView() override { return m_pRight; }
  QWidget* GetBottomView() override { return m_pBottom; }

  CSongList* SongList() const { return qobject_cast<CSongList*>(m_pRight); }
  CDowningList* DowningList() const { return qobject_cast<CDowningList*>(m_pRight); }
  CMyHtmlView* Page() const { return qobject_cast<CMyHtmlView*>(m_pBottom); }

  int m_nRightReplaced = 0;
  int m_nBottomReplaced = 0;

 private:
  QWidget* m_pRight = nullptr;
  QWidget* m_pBottom = nullptr;
  bool m_bBottomShown = true;
};

// Types text the way a keyboard does, one key event per character (QTest's
// own helpers take ASCII only).
inline void TypeText(QWidget* widget, const QString& text) {
  for (QChar ch : text) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(ch));
    QCoreApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(ch));
    QCoreApplication::sendEvent(widget, &release);
  }
}

struct ShownBox {
  QString text;
  QString caption;
  bool okCancel = false;
};

struct MenuEntry {
  QString text;
  bool enabled = false;
};

// Installs recording hooks for one test and removes them again.
class HookRecorder {
 public:
  HookRecorder() {
    BrowseHooks& hooks = GetBrowseHooks();
    hooks.messageBox = [this](QWidget*, const QString& text, const QString& caption, bool okCancel) {
      boxes.push_back({text, caption, okCancel});
      if (answers.empty()) return false;
      const bool ok = answers.front();
      answers.pop_front();
      return ok;
    };
    hooks.popupMenu = [this](QMenu& menu, const QPoint&) -> QAction* {
      ++menusShown;
      lastMenu.clear();
      QAction* chosen = nullptr;
      for (QAction* a : menu.actions()) {
        lastMenu.push_back({a->text(), a->isEnabled()});
        if (menuChoice != 0 && a->data().toInt() == menuChoice) chosen = a;
      }
      menuChoice = 0;
      return chosen;
    };
    hooks.openUrl = [this](const QUrl& url) { opened.push_back(url); };
    hooks.addTasks = [this](const std::string& names) {
      added.push_back(names);
      return true;
    };
    CBrowseState::Get().Reset();
  }
  ~HookRecorder() {
    GetBrowseHooks() = BrowseHooks();
    CBrowseState::Get().Reset();
  }

  std::vector<ShownBox> boxes;
  std::deque<bool> answers;  // OK (true) or Cancel for the next boxes
  int menusShown = 0;
  int menuChoice = 0;        // command id picked from the next menu
  std::vector<MenuEntry> lastMenu;
  std::vector<QUrl> opened;
  std::vector<std::string> added;
};
