#include "ui/DragState.h"

#include <QTreeWidgetItem>

#include "app/DownloaderApp.h"

static void InitBrowseResourcesOnce() { Q_INIT_RESOURCE(Browse); }

void InitBrowseResources() {
  static const bool done = (InitBrowseResourcesOnce(), true);
  (void)done;
}

CBrowseState& CBrowseState::Get() {
  static CBrowseState state;
  return state;
}

std::string CBrowseState::GetViewName() const {
  if (CDownloaderApp* app = GetApp()) return app->GetViewName();
  return m_strViewName;
}

void CBrowseState::SetViewName(const std::string& name) {
  if (CDownloaderApp* app = GetApp()) app->SetViewName(name);
  m_strViewName = name;
}

static bool IsWithin(const QTreeWidgetItem* item, const QTreeWidgetItem* node) {
  for (; item; item = item->parent())
    if (item == node) return true;
  return false;
}

void CBrowseState::ForgetItem(const QTreeWidgetItem* node) {
  if (IsWithin(m_hShownFolder, node)) m_hShownFolder = nullptr;
  if (IsWithin(m_drag.m_hDropItem, node)) m_drag.m_hDropItem = nullptr;
  if (IsWithin(m_drag.m_hLastHover, node)) m_drag.m_hLastHover = nullptr;
}

void CBrowseState::LoadDragImages() {
  InitBrowseResources();
  m_drag.m_pDragImages[0] = QPixmap(":/tree/drag-noentry.png");
  m_drag.m_pDragImages[1] = QPixmap(":/tree/drag-page.png");
}

void CBrowseState::ReleaseDragImages() {
  m_drag.m_pDragImages[0] = QPixmap();
  m_drag.m_pDragImages[1] = QPixmap();
}

void CBrowseState::Reset() {
  m_drag = DragState();
  m_hShownFolder = nullptr;
  m_pFrame = nullptr;
  m_strViewName.clear();
}
