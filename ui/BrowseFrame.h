#pragma once
// What the folder tree and the category page need of the main frame: the
// pane switches. The frame (or a test) implements it.
class QWidget;

class IBrowseFrame {
 public:
  enum class RightView { DowningList, SongList };

  virtual ~IBrowseFrame() = default;
  // A fresh view of the given kind in the top right-hand pane.
  virtual void ReplaceRightView(RightView view) = 0;
  // A fresh category page view in the bottom row.
  virtual void ReplaceBottomView() = 0;
  virtual void HideBottomRow() = 0;
  virtual void ShowBottomRow() = 0;
  virtual bool IsBottomRowShown() = 0;
  virtual QWidget* GetRightView() = 0;
  virtual QWidget* GetBottomView() = 0;
};
