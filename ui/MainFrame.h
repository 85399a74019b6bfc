#pragma once
// The program's only top-level window: the bar area (banners, search bar,
// toolbar), the split client area (tree | right-hand pane over the bottom
// row), the tray icon and the exit sequence.
#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <map>
#include <string>

#include "ui/BrowseFrame.h"

class QAction;
class QLocalServer;
class QMenu;
class QSplitter;
class QSystemTrayIcon;
class QToolBar;
class CDowningList;
class CQtUiPort;
class CSearchView;

// The frame that is alive, or null.
class CMainFrame;
CMainFrame* GetMainFrame();

class CMainFrame : public QMainWindow, public IBrowseFrame {
  Q_OBJECT
 public:
  enum Command {
    kCmdStartAll = 101,
    kCmdStopAll = 102,
    kCmdDeleteAll = 103,
    kCmdSeparator = 104,
    kCmdExit = 105,
    kCmdSettings = 106,
    kCmdUpgrade = 107,
    kCmdTrayShow = 32780,
    kCmdTrayExit = 32781,
  };
  // Makes a view for a pane; registered per class name ("CDowningList",
  // "CSongList", "CMyHtmlView").
  using ViewFactory = std::function<QWidget*(QWidget* parent)>;
  static void RegisterView(const std::string& className, ViewFactory factory);

  explicit CMainFrame(QWidget* parent = nullptr);
  ~CMainFrame() override;

  // --- Panes ---------------------------------------------------------------
  // A fresh view of the class in the right-hand pane (the old one goes).
  QWidget* ReplaceRightView(const std::string& className);
  void ReplaceRightView(RightView view) override;
  void ReplaceBottomView() override;
  void HideBottomRow() override;
  void ShowBottomRow() override;
  bool IsBottomRowShown() override { return !m_bBottomHidden; }
  QWidget* GetRightView() override { return m_pRightView; }
  QWidget* GetBottomView() override { return m_pBottomView; }
  QWidget* GetTreeView() const { return m_pTreeView; }
  // The download list while it is on screen (view name and pane agree).
  CDowningList* GetShownList() const;
  // Makes the tree node with this text current (the tree reacts to it).
  void SelectTreeNode(const char* utf8Text);

  // --- Bars ----------------------------------------------------------------
  CSearchView* GetSearchView() const { return m_pSearchView; }
  QToolBar* GetToolBar() const { return m_pToolBar; }
  QWidget* GetBanner(int index) const { return index == 0 ? m_pBanner1 : m_pBanner2; }
  // The action of a command id (toolbar, tray menu), or null.
  QAction* GetCommand(int id) const;
  QMenu* GetTrayMenu() const { return m_pTrayMenu; }
  QSystemTrayIcon* GetTrayIcon() const { return m_pTray; }
  CQtUiPort* GetUiPort() const { return m_pPort; }

  // --- Commands --------------------------------------------------------------
  void OnStartAll();
  void OnStopAll();
  void OnDeleteAll();
  void OnSettings();
  void OnUpgrade();
  void OnExit();
  void OnTrayShow();
  void OnAbout();
  bool IsExiting() const { return m_bExiting; }

  // Left click on the tray icon: the icon goes and the window comes back.
  void OnTrayLeftClick();
  // Where the tray menu opens: the bottom-right corner of the screen.
  QPoint TrayMenuPosition() const;

  // The name of the local socket over which a second copy asks this one to
  // come forward: short (socket paths are limited) and private to the
  // program directory and the user.
  static QString RaiseServerName(const std::string& appDirectory);
  // Asks a running copy to raise its window; false when none answered.
  static bool AskRunningCopyToRaise(const std::string& appDirectory, int timeoutMs);

 signals:
  // The exit sequence has run and the window closed; the program ends.
  void ExitRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void CreateBarArea();
  void CreateBanners(QWidget* row);
  void CreateToolBar();
  void CreateMenus();
  void CreateClientArea();
  void CreateTray();
  void ListenForRaise();
  void OnFirstActivation();
  void BringForward();
  QWidget* MakeView(const std::string& className, QWidget* parent);

  QWidget* m_pBarArea = nullptr;
  QWidget* m_pBannerRow = nullptr;
  QWidget* m_pBanner1 = nullptr;
  QWidget* m_pBanner2 = nullptr;
  CSearchView* m_pSearchView = nullptr;
  QToolBar* m_pToolBar = nullptr;
  QSplitter* m_pOuter = nullptr;  // right-hand row over the bottom row
  QSplitter* m_pInner = nullptr;  // tree | right-hand pane
  QWidget* m_pTreeView = nullptr;
  QWidget* m_pRightView = nullptr;
  QWidget* m_pBottomView = nullptr;
  int m_nSavedBottomHeight = -1;  // kept while the bottom row is hidden
  bool m_bBottomHidden = false;
  std::map<int, QAction*> m_commands;
  QSystemTrayIcon* m_pTray = nullptr;
  QMenu* m_pTrayMenu = nullptr;
  CQtUiPort* m_pPort = nullptr;
  QLocalServer* m_pRaiseServer = nullptr;
  bool m_bActivated = false;
  bool m_bExiting = false;
};
