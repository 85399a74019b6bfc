#pragma once
// The edit box of a folder node's label: at most a number of GBK bytes, cut
// while the user types. The tree takes the new text itself once it has
// checked it, so the delegate never writes the model.
#include <QStyledItemDelegate>

class FolderNameDelegate : public QStyledItemDelegate {
 public:
  FolderNameDelegate(int maxBytes, QObject* parent) : QStyledItemDelegate(parent), m_nMaxBytes(maxBytes) {}
  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const override;
  void setEditorData(QWidget* editor, const QModelIndex& index) const override;
  void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}

 private:
  int m_nMaxBytes;
};
