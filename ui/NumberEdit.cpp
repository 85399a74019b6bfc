#include "ui/NumberEdit.h"

#include <QKeyEvent>

#include "app/SettingsDlgLogic.h"

CNumberEdit::CNumberEdit(QWidget* parent) : QLineEdit(parent) {}

void CNumberEdit::keyPressEvent(QKeyEvent* event) {
  // Only typed characters are filtered; editing keys and shortcuts (paste
  // included, as the filter never saw pasted text) keep their meaning.
  if (event->key() == Qt::Key_Backspace) {
    QLineEdit::keyPressEvent(event);
    return;
  }
  const QString typed = event->text();
  const bool isChar = typed.size() == 1 && typed[0].isPrint() && !(event->modifiers() & Qt::ControlModifier);
  if (!isChar) {
    QLineEdit::keyPressEvent(event);
    return;
  }
  const char16_t c = typed[0].unicode();
  const char ascii = c < 0x80 ? static_cast<char>(c) : '\x7f';
  if (NumberEditAccepts(text().toStdString(), ascii))
    QLineEdit::keyPressEvent(event);
  else
    event->accept();
}
