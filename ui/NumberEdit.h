#pragma once
// The number fields of the settings dialog: typed characters pass one of the
// core's filters (the size fields': at most four characters, digits and one
// inner point; the time-outs': digits only).
#include <QLineEdit>
#include <string>

class CNumberEdit : public QLineEdit {
  Q_OBJECT
 public:
  // Whether the typed character reaches an edit holding text.
  using Filter = bool (*)(const std::string& text, char typed);
  explicit CNumberEdit(QWidget* parent = nullptr, Filter filter = nullptr);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  // Text committed by an input method passes the same filter, character
  // by character, as if each had been typed.
  void inputMethodEvent(QInputMethodEvent* event) override;

 private:
  Filter m_filter;
};
