#pragma once
// Every message box of the window program goes through here: a box whose
// text is already on screen is brought forward instead of opened a second
// time, boxes are modal to their window only and never run a modal loop of
// their own, and they carry the program's caption and Chinese buttons.
#include <QList>
#include <QString>
#include <functional>

class QMessageBox;
class QWidget;

class CMessageBoxes {
 public:
  // Runs with true for "确定", false for "取消" or a box closed otherwise.
  using Answer = std::function<void(bool ok)>;

  // Opens (or raises) the box for text. The caption defaults to the
  // program's name; okCancel adds "取消". The box is window-modal to the
  // window of owner, else to the main frame. then runs when the box closes;
  // it is dropped when a box with the same text was already open, since
  // that box answers the question already being asked.
  static QMessageBox* Show(QWidget* owner, const QString& text, const QString& caption, bool okCancel,
                           Answer then = Answer());
  // The open box with exactly this text, or null.
  static QMessageBox* Find(const QString& text);
  // Every box open now, oldest first.
  static QList<QMessageBox*> Open();
};
