#pragma once
// Adds or edits one music server engine (name, address, user, password).
// Confirming writes the engine to MP3.ini at once; the settings dialog then
// shows it in its engine list.
#include <QDialog>

#include "app/EngineSettings.h"

class QLineEdit;
class QPushButton;

class CServerEngineDlg : public QDialog {
  Q_OBJECT
 public:
  // n is the engine's number in MP3.ini; entry what it holds (empty: new).
  CServerEngineDlg(const std::string& iniPath, int n, const EngineEntry& entry,
                   QWidget* parent = nullptr);

  // Writes the engine; false (and the dialog stays) when a field is
  // missing or the file could not be written.
  bool Save();
  void OnConfirm();

  QLineEdit* NameEdit() const { return m_pName; }
  QLineEdit* ServerEdit() const { return m_pServer; }
  QLineEdit* UserEdit() const { return m_pUser; }
  QLineEdit* PasswordEdit() const { return m_pPassword; }
  QPushButton* ConfirmButton() const { return m_pConfirm; }

 private:
  const std::string m_strIni;
  const int m_nEngine;
  EngineEntry m_entry;
  QLineEdit* m_pName;
  QLineEdit* m_pServer;
  QLineEdit* m_pUser;
  QLineEdit* m_pPassword;
  QPushButton* m_pConfirm;
};
