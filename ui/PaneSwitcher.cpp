#include "ui/PaneSwitcher.h"

#include "app/DownloaderApp.h"
#include "res/Texts.h"
#include "ui/BrowseFrame.h"
#include "ui/BrowseHooks.h"
#include "ui/DragState.h"
#include "ui/MainTreeView.h"
#include "ui/MyHtmlView.h"
#include "ui/SongList.h"

namespace {

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

}  // namespace

void PaneSwitcher::ShowFor(QTreeWidgetItem* node) {
  CBrowseState& state = CBrowseState::Get();
  IBrowseFrame* frame = state.m_pFrame;
  const QString text = node->text(0);
  const std::string view = state.GetViewName();
  bool category = false;
  for (const char* c : kCategoryNodes) category = category || text == Q(c);

  if (text == Q(txt::kNodeDowning)) {
    if (view != kViewDowningList) {
      if (frame) {
        if (frame->IsBottomRowShown()) frame->HideBottomRow();
        frame->ReplaceRightView(IBrowseFrame::RightView::DowningList);
      }
      state.SetViewName(kViewDowningList);
    }
  } else if (category && !CMainTreeView::IsDownloadedNode(node)) {
    if (view != kViewHtml) {
      if (frame) {
        if (view != kViewDowningList) frame->ReplaceRightView(IBrowseFrame::RightView::DowningList);
        if (!frame->IsBottomRowShown()) frame->ShowBottomRow();
        frame->ReplaceBottomView();
      }
      state.SetViewName(kViewHtml);
    }
    if (frame)
      if (auto* page = qobject_cast<CMyHtmlView*>(frame->GetBottomView())) page->ShowCategory(text);
  } else if (CMainTreeView::IsDownloadedNode(node)) {
    if (view != kViewSongList) {
      state.SetViewName(kViewSongList);
      if (frame) {
        if (frame->IsBottomRowShown()) frame->HideBottomRow();
        frame->ReplaceRightView(IBrowseFrame::RightView::SongList);
      }
    }
    // A new node still being named has no directory: the list stays empty
    // rather than showing (and acting on) the parent's songs.
    if (frame)
      if (auto* list = qobject_cast<CSongList*>(frame->GetRightView()))
        list->LoadFolder(CMainTreeView::NodeName(node).empty() ? std::string() : CMainTreeView::FolderPathOf(node));
  }
  state.m_hShownFolder = node;
}
