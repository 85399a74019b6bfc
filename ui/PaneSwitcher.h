#pragma once
// What the frame's panes show for a node of the navigation tree: the
// download list, a category page under it, or the songs of a folder.
#include <QTreeWidgetItem>

#include "res/Texts.h"

class PaneSwitcher {
 public:
  // The song-list nodes whose pages come from the category site.
  static constexpr const char* kCategoryNodes[] = {txt::kNodeAllSongs, txt::kNodeHitChart, txt::kNodePop,
                                                   txt::kNodeFolk,     txt::kNodeCampus,   txt::kNodeFilm,
                                                   txt::kNodeEnglish,  txt::kNodeNews};
  // Switches the panes for node and records it as the shown folder.
  static void ShowFor(QTreeWidgetItem* node);
};
