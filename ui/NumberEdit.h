#pragma once
// The size fields of the settings dialog: typed characters pass the core's
// number filter (at most four characters, digits and one inner point).
#include <QLineEdit>

class CNumberEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit CNumberEdit(QWidget* parent = nullptr);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};
