#pragma once
#include <QDialog>

// The about box of the help menu: icon, version and "确定", nothing else.
class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};
