#include "ui/NumberEdit.h"

#include <QInputMethodEvent>
#include <QKeyEvent>

#include "app/SettingsDlgLogic.h"

CNumberEdit::CNumberEdit(QWidget* parent, Filter filter)
    : QLineEdit(parent), m_filter(filter ? filter : &NumberEditAccepts) {}

namespace {
// The filter works on ASCII; anything else (full-width digits included) is
// a character it drops.
char FilterChar(QChar c) { return c.unicode() < 0x80 ? static_cast<char>(c.unicode()) : '\x7f'; }
}  // namespace

void CNumberEdit::inputMethodEvent(QInputMethodEvent* event) {
  if (event->commitString().isEmpty()) {
    QLineEdit::inputMethodEvent(event);
    return;
  }
  std::string text = this->text().toStdString();
  QString kept;
  for (QChar c : event->commitString()) {
    const char ascii = FilterChar(c);
    if (!m_filter(text, ascii)) continue;
    kept += c;
    text += ascii;
  }
  QInputMethodEvent filtered(event->preeditString(), event->attributes());
  filtered.setCommitString(kept, event->replacementStart(), event->replacementLength());
  QLineEdit::inputMethodEvent(&filtered);
  event->setAccepted(filtered.isAccepted());
}

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
  if (m_filter(text().toStdString(), FilterChar(typed[0])))
    QLineEdit::keyPressEvent(event);
  else
    event->accept();
}
