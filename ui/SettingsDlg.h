#pragma once
// The settings window: shows MP3.ini's values when it opens and, on
// "确认", writes them back and reloads the settings. The rules live in the
// core's dialog logic; this window only moves texts to and from controls.
#include <QDialog>

#include "app/SettingsDlgLogic.h"

class QCheckBox;
class QComboBox;
class QFormLayout;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QSpinBox;
class CNumberEdit;

class CSettingsDlg : public QDialog {
  Q_OBJECT
 public:
  enum {
    kIdTemplate = 147,
    kIdEngine = 1002,
    kIdFileType = 1003,
    kIdMinSize = 1004,
    kIdMaxSize = 1005,
    kIdThreads = 1008,
    kIdCheckSpeed = 1009,
    kIdConTimeOut = 1010,
    kIdGetTimeOut = 1011,
  };
  explicit CSettingsDlg(QWidget* parent = nullptr);

  // What the controls hold now, as the confirm step takes it.
  SettingsDlgInput Input() const;
  void OnConfirm();
  // Adds a music server engine, or edits the selected one when it is one.
  void OnServer();
  // Refills the engine list from MP3.ini and selects index select.
  void ShowEngines(int select);

  QComboBox* EngineCombo() const { return m_pEngine; }
  QComboBox* FileTypeCombo() const { return m_pFileType; }
  QComboBox* ThreadsCombo() const { return m_pThreads; }
  CNumberEdit* MinSizeEdit() const { return m_pMinSize; }
  CNumberEdit* MaxSizeEdit() const { return m_pMaxSize; }
  QCheckBox* CheckSpeedBox() const { return m_pCheckSpeed; }
  QCheckBox* PreferQualityBox() const { return m_pPreferQuality; }
  QLineEdit* ConTimeOutEdit() const { return m_pConTimeOut; }
  QLineEdit* GetTimeOutEdit() const { return m_pGetTimeOut; }
  QGroupBox* NetworkGroup() const { return m_pNetwork; }
  QLineEdit* ProxyEdit() const { return m_pProxy; }
  QSpinBox* HostConnectionsBox() const { return m_pHostConnections; }
  QPushButton* ConfirmButton() const { return m_pConfirm; }
  QPushButton* CancelButton() const { return m_pCancel; }
  QPushButton* ServerButton() const { return m_pServer; }

 private:
  // Dialog units of the template to pixels of this font.
  QRect Dlu(int x, int y, int w, int h) const;
  void Fill(const SettingsDlgFields& fields);
  // The "网络" group's rows; each option of the group is one addRow here.
  void AddNetworkRows();
  // Sizes the group to its rows and puts the buttons below it.
  void PlaceBelowFields();

  QComboBox* m_pEngine;
  QComboBox* m_pFileType;
  QComboBox* m_pThreads;
  CNumberEdit* m_pMinSize;
  CNumberEdit* m_pMaxSize;
  QCheckBox* m_pCheckSpeed;
  QCheckBox* m_pPreferQuality;
  QLineEdit* m_pConTimeOut;
  QLineEdit* m_pGetTimeOut;
  QGroupBox* m_pNetwork;
  QFormLayout* m_pNetworkRows;
  QLineEdit* m_pProxy;
  QSpinBox* m_pHostConnections;
  QPushButton* m_pConfirm;
  QPushButton* m_pCancel;
  QPushButton* m_pServer;
};
