#include "ui/ServerEngineDlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "res/texts/UiTexts.h"
#include "task/Candidate.h"
#include "ui/MessageBoxes.h"
#include "ui/UiText.h"

CServerEngineDlg::CServerEngineDlg(const std::string& iniPath, int n, const EngineEntry& entry,
                                   QWidget* parent)
    : QDialog(parent), m_strIni(iniPath), m_nEngine(n), m_entry(entry) {
  const bool editing = !entry.m_strServer.empty();
  setWindowTitle(QTxt(editing ? txt::kServerEditTitle : txt::kServerAddTitle));
  auto* form = new QFormLayout(this);
  m_pName = new QLineEdit(QGbk(entry.m_strName), this);
  // The file keeps 19 bytes of the name; GBK takes two a character.
  m_pName->setMaxLength(static_cast<int>(CEngineSettings::kNameBuffer - 1) / 2);
  m_pServer = new QLineEdit(QGbk(entry.m_strServer), this);
  m_pServer->setPlaceholderText("http://192.168.1.20:4533");
  m_pUser = new QLineEdit(QGbk(entry.m_strUser), this);
  // Never shown back: an edit leaves the stored one alone unless retyped.
  m_pPassword = new QLineEdit(this);
  m_pPassword->setEchoMode(QLineEdit::Password);
  if (editing) m_pPassword->setPlaceholderText(QTxt(txt::kServerKeepPassword));
  form->addRow(QTxt(txt::kServerName), m_pName);
  form->addRow(QTxt(txt::kServerAddress), m_pServer);
  form->addRow(QTxt(txt::kServerUser), m_pUser);
  form->addRow(QTxt(txt::kServerPassword), m_pPassword);
  auto* warning = new QLabel(QTxt(txt::kServerPasswordWarning), this);
  warning->setWordWrap(true);
  form->addRow(warning);
  auto* buttons = new QDialogButtonBox(this);
  m_pConfirm = buttons->addButton(QTxt(txt::kConfirm), QDialogButtonBox::AcceptRole);
  buttons->addButton(QTxt(txt::kCancel), QDialogButtonBox::RejectRole);
  form->addRow(buttons);
  connect(m_pConfirm, &QPushButton::clicked, this, &CServerEngineDlg::OnConfirm);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  setMinimumWidth(360);
}

bool CServerEngineDlg::Save() {
  EngineEntry e = m_entry;
  e.m_strName = GbkOf(m_pName->text().trimmed());
  e.m_strServer = GbkOf(m_pServer->text().trimmed());
  e.m_strUser = GbkOf(m_pUser->text().trimmed());
  const std::string typed = m_pPassword->text().toStdString();
  // The first thing missing is named, and the cursor waits in its field.
  const char* missing = nullptr;
  QLineEdit* field = nullptr;
  if (e.m_strName.empty()) {
    missing = txt::kServerNeedName;
    field = m_pName;
  } else if (!IsWebAddress(e.m_strServer)) {
    missing = txt::kServerNeedAddress;
    field = m_pServer;
  } else if (e.m_strUser.empty()) {
    missing = txt::kServerNeedUser;
    field = m_pUser;
  } else if (typed.empty() && e.m_strPassword.empty()) {
    // A new server without a password could never log in.
    missing = txt::kServerNeedPassword;
    field = m_pPassword;
  }
  if (missing) {
    field->setFocus();
    CMessageBoxes::Show(this, QTxt(missing), QString(), false);
    return false;
  }
  if (CEngineSettings::Write(m_strIni, m_nEngine, e, typed)) return true;
  CMessageBoxes::Show(this, QTxt(txt::kServerSaveFailed), QString(), false);
  return false;
}

void CServerEngineDlg::OnConfirm() {
  if (Save()) accept();
}
