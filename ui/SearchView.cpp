#include "ui/SearchView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>

#include "app/DownloaderApp.h"
#include "res/texts/BrowseTexts.h"
#include "res/texts/UiTexts.h"
#include "ui/DowningList.h"
#include "ui/MainFrame.h"
#include "ui/UiText.h"

CBitmapButton::CBitmapButton(const QPixmap& up, const QPixmap& down, QWidget* parent)
    : QAbstractButton(parent), m_up(up), m_down(down) {
  setFocusPolicy(Qt::StrongFocus);
  setFixedSize(m_up.size());
}

QSize CBitmapButton::sizeHint() const { return m_up.size(); }

void CBitmapButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawPixmap(0, 0, isDown() ? m_down : m_up);
}

CSearchView::CSearchView(QWidget* parent) : QWidget(parent) {
  InitUiResources();
  setObjectName("CSearchView");
  m_pLabel = new QLabel(QTxt(txt::kSearchLabel), this);
  m_pEdit = new QLineEdit(this);
  m_pEdit->setObjectName("SongName");
  m_pButton = new CBitmapButton(QPixmap(":/bitmaps/download-up.png"), QPixmap(":/bitmaps/download-down.png"), this);
  m_pButton->setText(QTxt(txt::kSearchButton));  // for accessibility; the face carries the label
  m_pButton->setObjectName("Download");
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(6, 4, 6, 4);
  row->addWidget(m_pLabel);
  row->addWidget(m_pEdit, 1);
  row->addWidget(m_pButton);
  // Enter in the box deliberately starts nothing: only the button does.
  connect(m_pButton, &QAbstractButton::clicked, this, &CSearchView::OnDownload);
}

void CSearchView::OnDownload() {
  CDownloaderApp* app = GetApp();
  if (!app) return;
  m_strSongName = GbkOf(m_pEdit->text());
  app->AddTasks(m_strSongName);
  CMainFrame* frame = GetMainFrame();
  if (!frame) return;
  if (app->IsListShown()) {
    if (CDowningList* list = frame->GetShownList()) list->RefreshList();
    return;
  }
  frame->ReplaceRightView(kViewDowningList);
  app->SetViewName(kViewDowningList);
  if (frame->IsBottomRowShown()) frame->HideBottomRow();
  // tree: make the first root node, "正在下载", the current node.
  frame->SelectTreeNode(txt::kNodeDowning);
}
