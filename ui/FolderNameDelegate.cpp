#include "ui/FolderNameDelegate.h"

#include <QLineEdit>
#include <QValidator>

#include "engine/Gbk.h"

namespace {

// Bytes a character takes in GBK (a character GBK cannot hold is one "?").
int GbkBytes(const QString& ch) { return static_cast<int>(Utf8ToGbk(ch.toStdString()).size()); }

// Cuts the text at a byte count of its GBK form while the user types, the
// way the platform's edit limit does: extra characters are simply dropped.
class GbkLengthValidator : public QValidator {
 public:
  GbkLengthValidator(int maxBytes, QObject* parent) : QValidator(parent), m_nMax(maxBytes) {}
  State validate(QString& input, int& pos) const override {
    int bytes = 0;
    qsizetype keep = 0;
    while (keep < input.size()) {
      qsizetype len = input.at(keep).isHighSurrogate() && keep + 1 < input.size() ? 2 : 1;
      int n = GbkBytes(input.mid(keep, len));
      if (bytes + n > m_nMax) break;
      bytes += n;
      keep += len;
    }
    if (keep < input.size()) {
      input.truncate(keep);
      if (pos > keep) pos = static_cast<int>(keep);
    }
    return Acceptable;
  }

 private:
  int m_nMax;
};

}  // namespace

QWidget* FolderNameDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const {
  auto* edit = new QLineEdit(parent);
  edit->setValidator(new GbkLengthValidator(m_nMaxBytes, edit));
  return edit;
}

void FolderNameDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
  if (auto* edit = qobject_cast<QLineEdit*>(editor)) edit->setText(index.data().toString());
}

