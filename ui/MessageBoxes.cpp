#include "ui/MessageBoxes.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPointer>

#include "res/texts/AppTexts.h"
#include "res/texts/UiTexts.h"
#include "ui/MainFrame.h"
#include "ui/UiText.h"

namespace {
// Boxes on screen, oldest first; a closed box deletes itself and its
// QPointer goes null.
QList<QPointer<QMessageBox>>& Boxes() {
  static QList<QPointer<QMessageBox>> boxes;
  return boxes;
}
}  // namespace

QList<QMessageBox*> CMessageBoxes::Open() {
  QList<QMessageBox*> open;
  auto& boxes = Boxes();
  boxes.removeIf([](const QPointer<QMessageBox>& b) { return b.isNull(); });
  for (const auto& b : boxes)
    if (b->isVisible()) open << b.data();
  return open;
}

QMessageBox* CMessageBoxes::Find(const QString& text) {
  for (QMessageBox* box : Open())
    if (box->text() == text) return box;
  return nullptr;
}

QMessageBox* CMessageBoxes::Show(QWidget* owner, const QString& text, const QString& caption, bool okCancel,
                                 Answer then) {
  if (QMessageBox* shown = Find(text)) {
    shown->raise();
    shown->activateWindow();
    return shown;
  }
  QWidget* parent = owner ? owner->window() : nullptr;
  if (!parent) parent = GetMainFrame();
  auto* box = new QMessageBox(QMessageBox::Information, caption.isEmpty() ? QTxt(txt::kAppName) : caption, text,
                              okCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok, parent);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowIcon(AppIcon());
  box->button(QMessageBox::Ok)->setText(QTxt(txt::kOk));
  if (okCancel) box->button(QMessageBox::Cancel)->setText(QTxt(txt::kCancel));
  QObject::connect(box, &QMessageBox::finished, box, [box, then](int) {
    const bool ok = box->clickedButton() == box->button(QMessageBox::Ok);
    if (then) then(ok);
  });
  Boxes() << box;
  // open() makes the box modal to its window and returns at once, so no
  // caller (the core's port least of all) waits inside a modal loop.
  box->open();
  return box;
}
