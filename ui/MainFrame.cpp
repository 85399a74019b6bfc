#include "ui/MainFrame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCryptographicHash>
#include <QLabel>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSplitter>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include <unistd.h>

#include "app/DownloaderApp.h"
#include "app/IniFile.h"
#include "app/TaskFiles.h"
#include "engine/Common.h"
#include "res/texts/AppTexts.h"
#include "res/texts/BrowseTexts.h"
#include "res/texts/UiTexts.h"
#include "ui/AboutDlg.h"
#include "ui/DragState.h"
#include "ui/DowningList.h"
#include "ui/MainTreeView.h"
#include "ui/MyHtmlView.h"
#include "ui/QtUiPort.h"
#include "ui/SearchView.h"
#include "ui/SettingsDlg.h"
#include "ui/ShockwaveFlash.h"
#include "ui/SongList.h"
#include "ui/UiText.h"

namespace {

CMainFrame* g_pFrame = nullptr;

std::map<std::string, CMainFrame::ViewFactory>& ViewFactories() {
  static std::map<std::string, CMainFrame::ViewFactory> factories = {
      {kViewDowningList, [](QWidget* parent) -> QWidget* { return new CDowningList(parent); }},
      {"CMainTreeView", [](QWidget* parent) -> QWidget* { return new CMainTreeView(parent); }},
      {kViewSongList, [](QWidget* parent) -> QWidget* { return new CSongList(parent); }},
      {kViewHtml, [](QWidget* parent) -> QWidget* { return new CMyHtmlView(parent); }},
  };
  return factories;
}

// The banner row: the two banners split the row's width in halves, the
// right one taking the odd pixel.
class CBannerRow : public QWidget {
 public:
  using QWidget::QWidget;
  QWidget* m_pLeft = nullptr;
  QWidget* m_pRight = nullptr;

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QWidget::resizeEvent(event);
    const int cx = width();
    if (m_pLeft) m_pLeft->setGeometry(0, 0, cx / 2, 50);
    if (m_pRight) m_pRight->setGeometry(cx / 2, 0, cx - cx / 2, 50);
  }
};

QIcon ToolIcon(const char* name) {
  QIcon icon;
  icon.addFile(QString(":/toolbar/%1-19.png").arg(name), QSize(19, 19), QIcon::Normal);
  icon.addFile(QString(":/toolbar/%1-22.png").arg(name), QSize(22, 22), QIcon::Active);
  return icon;
}

}  // namespace

CMainFrame* GetMainFrame() { return g_pFrame; }

void CMainFrame::RegisterView(const std::string& className, ViewFactory factory) {
  ViewFactories()[className] = std::move(factory);
}

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
  InitUiResources();
  g_pFrame = this;
  CBrowseState::Get().m_pFrame = this;
  // No application display name: the window system would append it to
  // every title. Boxes carry the program's name as their own caption.
  setWindowTitle(QTxt(txt::kFrameTitle));
  setWindowIcon(AppIcon());
  m_pPort = new CQtUiPort([this] { return GetShownList(); }, this);
  if (CDownloaderApp* app = GetApp()) app->SetUiPort(m_pPort);

  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  setCentralWidget(central);
  CreateBarArea();
  column->addWidget(m_pBarArea);
  CreateClientArea();
  column->addWidget(m_pOuter, 1);
  CreateMenus();
  CreateTray();
  ListenForRaise();
}

CMainFrame::~CMainFrame() {
  // Workers may still report until the core lets go of the port.
  if (CDownloaderApp* app = GetApp()) app->SetUiPort(nullptr);
  if (g_pFrame == this) g_pFrame = nullptr;
  if (CBrowseState::Get().m_pFrame == this) CBrowseState::Get().m_pFrame = nullptr;
}

// --- Bar area ---------------------------------------------------------------

void CMainFrame::CreateBarArea() {
  m_pBarArea = new QWidget(this);
  m_pBarArea->setObjectName("BarArea");
  auto* rows = new QVBoxLayout(m_pBarArea);
  rows->setContentsMargins(0, 0, 0, 0);
  rows->setSpacing(1);

  auto* banners = new CBannerRow(m_pBarArea);
  banners->setFixedHeight(50);
  m_pBannerRow = banners;
  CreateBanners(banners);
  banners->m_pLeft = m_pBanner1;
  banners->m_pRight = m_pBanner2;
  rows->addWidget(banners);

  m_pSearchView = new CSearchView(m_pBarArea);
  rows->addWidget(m_pSearchView);

  CreateToolBar();
  rows->addWidget(m_pToolBar);
}

void CMainFrame::CreateBanners(QWidget* row) {
  // banners: the movies of Movie.ini, set even when the text is empty.
  const std::string movieIni = GetAppDirectory() + "/Movie.ini";
  for (QWidget** banner : {&m_pBanner1, &m_pBanner2}) {
    auto* area = new CShockwaveFlash();
    area->Create(QRect(0, 0, 200, 50), row, 0);
    area->setObjectName(banner == &m_pBanner1 ? "Banner1" : "Banner2");
    area->setStyleSheet("background: black;");
    area->SetMovie(IniRead(movieIni, "Movie", banner == &m_pBanner1 ? "Movie1" : "Movie2", "", 200));
    *banner = area;
  }
}

void CMainFrame::CreateToolBar() {
  m_pToolBar = new QToolBar(m_pBarArea);
  m_pToolBar->setObjectName("MainToolBar");
  m_pToolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  m_pToolBar->setIconSize(QSize(20, 20));
  m_pToolBar->setMovable(false);
  m_pToolBar->setStyleSheet(
      "QToolBar#MainToolBar { border: 0; background-image: url(:/bitmaps/toolbar-back.png); }"
      "QToolButton { min-width: 40px; max-width: 80px; }");
  struct Button {
    int id;
    const char* icon;
    const char* text;
    void (CMainFrame::*handler)();
  };
  const Button buttons[] = {
      {kCmdStartAll, "start", txt::kStartAll, &CMainFrame::OnStartAll},
      {kCmdStopAll, "stop", txt::kStopAll, &CMainFrame::OnStopAll},
      {kCmdDeleteAll, "delete", txt::kDeleteAll, &CMainFrame::OnDeleteAll},
      {kCmdSettings, "settings", txt::kSettings, &CMainFrame::OnSettings},
      {kCmdUpgrade, "upgrade", txt::kUpgrade, &CMainFrame::OnUpgrade},
      {kCmdSeparator, nullptr, nullptr, nullptr},
      {kCmdExit, "exit", txt::kExitSystem, &CMainFrame::OnExit},
  };
  for (const Button& b : buttons) {
    if (!b.icon) {
      m_commands[b.id] = m_pToolBar->addSeparator();
      m_commands[b.id]->setData(b.id);
      continue;
    }
    QAction* action = m_pToolBar->addAction(ToolIcon(b.icon), QTxt(b.text));
    action->setData(b.id);
    action->setToolTip(QString());  // the buttons carry no tooltips
    connect(action, &QAction::triggered, this, b.handler);
    m_commands[b.id] = action;
  }
}

void CMainFrame::CreateMenus() {
  QMenu* file = menuBar()->addMenu(QTxt(txt::kMenuFile));
  file->addSeparator();
  // "关闭" asks the window to close, which sends it to the tray.
  file->addAction(QTxt(txt::kMenuClose), this, &QWidget::close);
  QMenu* view = menuBar()->addMenu(QTxt(txt::kMenuView));
  QAction* toolbar = view->addAction(QTxt(txt::kMenuToolbar));
  toolbar->setCheckable(true);
  toolbar->setChecked(true);
  connect(toolbar, &QAction::toggled, m_pToolBar, &QWidget::setVisible);
  QMenu* help = menuBar()->addMenu(QTxt(txt::kMenuHelp));
  help->addAction(QTxt(txt::kMenuAbout), this, &CMainFrame::OnAbout);
}

QAction* CMainFrame::GetCommand(int id) const {
  auto it = m_commands.find(id);
  return it == m_commands.end() ? nullptr : it->second;
}

// --- Client area --------------------------------------------------------------

QWidget* CMainFrame::MakeView(const std::string& className, QWidget* parent) {
  auto& factories = ViewFactories();
  auto it = factories.find(className);
  QWidget* view = nullptr;
  if (it != factories.end()) view = it->second(parent);
  if (!view) {
    // A pane whose view is not built into this program stays empty.
    view = new QWidget(parent);
    view->setObjectName(QString::fromStdString(className));
  }
  return view;
}

void CMainFrame::CreateClientArea() {
  m_pOuter = new QSplitter(Qt::Vertical, this);
  m_pOuter->setObjectName("OuterSplitter");
  m_pOuter->setChildrenCollapsible(false);
  m_pInner = new QSplitter(Qt::Horizontal, m_pOuter);
  m_pInner->setObjectName("InnerSplitter");
  m_pInner->setFrameShape(QFrame::StyledPanel);
  // tree pane: an empty area until the folder tree takes its place.
  m_pTreeView = MakeView("CMainTreeView", m_pInner);
  m_pRightView = MakeView(kViewDowningList, m_pInner);
  m_pInner->addWidget(m_pTreeView);
  m_pInner->addWidget(m_pRightView);
  m_pInner->setStretchFactor(1, 3);
  m_pOuter->addWidget(m_pInner);
  // bottom page view: the category page below the download list.
  m_pBottomView = MakeView(kViewHtml, m_pOuter);
  m_pOuter->addWidget(m_pBottomView);
  m_pInner->setSizes({205, 615});
}

QWidget* CMainFrame::ReplaceRightView(const std::string& className) {
  const QList<int> sizes = m_pInner->sizes();
  QWidget* old = m_pRightView;
  // Made without a parent: a splitter adopts any new child as a pane.
  m_pRightView = MakeView(className, nullptr);
  m_pInner->replaceWidget(1, m_pRightView);
  if (old) {
    old->hide();
    old->deleteLater();
  }
  m_pInner->setSizes(sizes);
  m_pRightView->show();
  return m_pRightView;
}

void CMainFrame::ReplaceRightView(RightView view) {
  ReplaceRightView(view == RightView::SongList ? kViewSongList : kViewDowningList);
}

void CMainFrame::ReplaceBottomView() {
  const QList<int> sizes = m_pOuter->sizes();
  QWidget* old = m_pBottomView;
  m_pBottomView = MakeView(kViewHtml, nullptr);
  m_pOuter->replaceWidget(1, m_pBottomView);
  if (old) {
    old->hide();
    old->deleteLater();
  }
  m_pOuter->setSizes(sizes);
  m_pBottomView->setVisible(!m_bBottomHidden);
}

void CMainFrame::HideBottomRow() {
  if (m_bBottomHidden) return;
  m_nSavedBottomHeight = m_pOuter->sizes().value(1, -1);
  m_bBottomHidden = true;
  m_pBottomView->hide();
}

void CMainFrame::ShowBottomRow() {
  if (!m_bBottomHidden) return;
  m_bBottomHidden = false;
  m_pBottomView->show();
  if (m_nSavedBottomHeight > 0) {
    const int total = m_pOuter->height();
    m_pOuter->setSizes({std::max(0, total - m_nSavedBottomHeight), m_nSavedBottomHeight});
  }
}

CDowningList* CMainFrame::GetShownList() const {
  CDownloaderApp* app = GetApp();
  if (!app || !app->IsListShown()) return nullptr;
  return qobject_cast<CDowningList*>(m_pRightView);
}

void CMainFrame::SelectTreeNode(const char* utf8Text) {
  // tree pane: the folder tree selects the node and sets up the arrangement.
  auto* tree = qobject_cast<CMainTreeView*>(m_pTreeView);
  if (!tree) return;
  const QString text = QString::fromUtf8(utf8Text);
  if (text == QString::fromUtf8(txt::kNodeNews)) {
    tree->setCurrentItem(tree->NewsItem());
    return;
  }
  for (QTreeWidgetItem* node : tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive)) {
    if (!CMainTreeView::IsDownloadedNode(node)) {
      tree->setCurrentItem(node);
      return;
    }
  }
}

void CMainFrame::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!m_bActivated) {
    m_bActivated = true;
    OnFirstActivation();
  }
}

void CMainFrame::OnFirstActivation() {
  resize(820, 600);
  if (QScreen* screen = this->screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
  const int total = std::max(m_pOuter->height(), 181);
  m_pOuter->setSizes({180, total - 180});
  // first activation: selecting "新闻娱乐" in the tree shows the news page
  // below the download list. Until the tree is there, set that arrangement
  // directly.
  SelectTreeNode(txt::kNodeNews);
  CDownloaderApp* app = GetApp();
  if (app && app->GetViewName().empty()) app->SetViewName(kViewHtml);
}

// --- Commands -------------------------------------------------------------------

void CMainFrame::OnStartAll() {
  CDownloaderApp* app = GetApp();
  if (!app) return;
  std::string text;
  for (const std::string& name : app->GetTaskNames()) text += name + ";";
  if (!text.empty()) app->AddTasks(text);
}

void CMainFrame::OnStopAll() {
  CDownloaderApp* app = GetApp();
  if (!app) return;
  for (const std::string& name : app->GetTaskNames()) app->StopTask(name);
}

void CMainFrame::OnDeleteAll() {
  CDownloaderApp* app = GetApp();
  if (!app) return;
  const std::vector<std::string> names = app->GetTaskNames();
  app->RemoveAllTasks();
  if (CDowningList* list = GetShownList()) list->setRowCount(0);
  // Stopping tasks finish on the reaper; their files go once they are done.
  app->WaitForReaper();
  DeleteTaskFiles(names, app->GetTaskNames());
}

void CMainFrame::OnSettings() {
  // Owned by the frame, so the window manager keeps it (and the dialogs it
  // opens) above the frame rather than above Qt's hidden leader window.
  CSettingsDlg dlg(this);
  dlg.exec();
}

void CMainFrame::OnUpgrade() {
  if (CDownloaderApp* app = GetApp()) app->LaunchUpdater();
}

void CMainFrame::OnExit() {
  if (m_bExiting) return;
  m_bExiting = true;
  if (CDownloaderApp* app = GetApp()) {
    try {
      app->ExitSequence();
    } catch (...) {
      // The window closes whatever happened; nothing may save after this.
    }
  }
  if (m_pTray) m_pTray->hide();
  close();
  emit ExitRequested();
}

void CMainFrame::OnAbout() {
  CAboutDlg dlg(this);
  dlg.exec();
}

// --- Tray and closing -------------------------------------------------------------

void CMainFrame::CreateTray() {
  m_pTray = new QSystemTrayIcon(AppIcon(), this);
  m_pTray->setToolTip(QTxt(txt::kTrayTip));
  m_pTrayMenu = new QMenu(this);
  QAction* show = m_pTrayMenu->addAction(QTxt(txt::kTrayShow), this, &CMainFrame::OnTrayShow);
  show->setData(kCmdTrayShow);
  m_commands[kCmdTrayShow] = show;
  QAction* exit = m_pTrayMenu->addAction(QTxt(txt::kTrayExit), this, &CMainFrame::OnExit);
  exit->setData(kCmdTrayExit);
  m_commands[kCmdTrayExit] = exit;
  connect(m_pTray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) {
      OnTrayLeftClick();
    } else if (reason == QSystemTrayIcon::Context) {
      m_pTrayMenu->popup(TrayMenuPosition());
    }
  });
}

QPoint CMainFrame::TrayMenuPosition() const {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return QPoint(0, 0);
  const QRect r = screen->geometry();
  return QPoint(r.right(), r.bottom());
}

void CMainFrame::OnTrayLeftClick() {
  m_pTray->hide();
  BringForward();
}

void CMainFrame::OnTrayShow() { BringForward(); }

void CMainFrame::BringForward() {
  showNormal();
  raise();
  activateWindow();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (m_bExiting) {
    event->accept();
    return;
  }
  event->ignore();
  // Without a tray the hidden window could never be found again.
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    showMinimized();
    return;
  }
  m_pTray->show();
  hide();
}

// --- Single copy ------------------------------------------------------------------

QString CMainFrame::RaiseServerName(const std::string& appDirectory) {
  QCryptographicHash hash(QCryptographicHash::Sha256);
  hash.addData(QByteArray::fromStdString(appDirectory));
  hash.addData(QByteArray("\n") + QByteArray::number(static_cast<qulonglong>(getuid())));
  return "virelomp3-" + QString::fromLatin1(hash.result().toHex().left(16));
}

bool CMainFrame::AskRunningCopyToRaise(const std::string& appDirectory, int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(RaiseServerName(appDirectory));
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write("raise\n");
  const bool sent = socket.waitForBytesWritten(timeoutMs);
  socket.disconnectFromServer();
  return sent;
}

void CMainFrame::ListenForRaise() {
  m_pRaiseServer = new QLocalServer(this);
  m_pRaiseServer->setSocketOptions(QLocalServer::UserAccessOption);
  const QString name = RaiseServerName(GetAppDirectory());
  // The application's lock on the program directory makes this copy the
  // only owner of the name, so a socket left by a crash can go.
  QLocalServer::removeServer(name);
  if (!m_pRaiseServer->listen(name)) return;
  connect(m_pRaiseServer, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = m_pRaiseServer->nextPendingConnection()) {
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (socket->readAll().startsWith("raise")) {
          if (m_pTray) m_pTray->hide();
          BringForward();
        }
      });
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    }
  });
}
