#include "ui/SettingsDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QFormLayout>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QRegularExpressionValidator>

#include "app/DownloaderApp.h"
#include "engine/Common.h"
#include "engine/http/HostLimiter.h"
#include "res/texts/AudioTexts.h"
#include "res/texts/UiTexts.h"
#include "ui/MessageBoxes.h"
#include "ui/NumberEdit.h"
#include "ui/ServerEngineDlg.h"
#include "ui/UiText.h"

namespace {

QComboBox* MakeCombo(QWidget* parent) {
  auto* combo = new QComboBox(parent);
  combo->setEditable(true);
  combo->setInsertPolicy(QComboBox::NoInsert);  // typed texts are not added
  return combo;
}

std::string Gbk(const QComboBox* combo) { return GbkOf(combo->currentText()); }

}  // namespace

CSettingsDlg::CSettingsDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QTxt(txt::kSettingsTitle));
  setWindowIcon(AppIcon());

  auto* box = new QFrame(this);
  box->setFrameShape(QFrame::Box);
  box->setFrameShadow(QFrame::Sunken);
  box->setGeometry(Dlu(5, 0, 202, 113));

  // A label placed to the left of a control, ending just before it.
  auto label = [this](const char* text, int xEnd, int y, int w = 62) {
    auto* l = new QLabel(QTxt(text), this);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    l->setGeometry(Dlu(xEnd - w - 2, y, w, 12));
    return l;
  };
  m_pEngine = MakeCombo(this);
  m_pEngine->setGeometry(Dlu(73, 10, 85, 12));
  label(txt::kSetEngine, 73, 10);
  m_pServer = new QPushButton(QTxt(txt::kSetServerButton), this);
  m_pServer->setGeometry(Dlu(160, 9, 44, 14));
  connect(m_pServer, &QPushButton::clicked, this, [this] { OnServer(); });
  m_pFileType = MakeCombo(this);
  m_pFileType->setGeometry(Dlu(73, 27, 50, 12));
  label(txt::kSetFileType, 73, 27);
  m_pThreads = MakeCombo(this);
  m_pThreads->setGeometry(Dlu(73, 45, 48, 12));
  label(txt::kSetThreads, 73, 45);

  m_pMinSize = new CNumberEdit(this);
  m_pMinSize->setGeometry(Dlu(73, 63, 40, 14));
  label(txt::kSetSizeLimit, 73, 64);
  auto* tilde = new QLabel(QTxt(txt::kSetSizeTilde), this);
  tilde->setAlignment(Qt::AlignCenter);
  tilde->setGeometry(Dlu(113, 64, 14, 12));
  m_pMaxSize = new CNumberEdit(this);
  m_pMaxSize->setGeometry(Dlu(127, 63, 40, 14));
  auto* unit = new QLabel(QTxt(txt::kSetSizeUnit), this);
  unit->setGeometry(Dlu(169, 64, 30, 12));

  m_pCheckSpeed = new QCheckBox(QTxt(txt::kSetCheckSpeed), this);
  m_pCheckSpeed->setGeometry(Dlu(18, 82, 186, 10));

  // Digits only, as the time-outs are whole seconds; no length limit.
  auto* digits = new QRegularExpressionValidator(QRegularExpression("[0-9]*"), this);
  m_pConTimeOut = new CNumberEdit(this, &DigitEditAccepts);
  m_pConTimeOut->setValidator(digits);
  m_pConTimeOut->setGeometry(Dlu(58, 95, 35, 13));
  label(txt::kSetConTimeOut, 58, 95, 44);
  (new QLabel(QTxt(txt::kSetSeconds), this))->setGeometry(Dlu(95, 95, 12, 12));
  m_pGetTimeOut = new CNumberEdit(this, &DigitEditAccepts);
  m_pGetTimeOut->setValidator(digits);
  m_pGetTimeOut->setGeometry(Dlu(155, 95, 35, 13));
  label(txt::kSetGetTimeOut, 155, 95, 44);
  (new QLabel(QTxt(txt::kSetSeconds), this))->setGeometry(Dlu(192, 95, 12, 12));

  m_pNetwork = new QGroupBox(QTxt(txt::kSetNetworkGroup), this);
  m_pNetworkRows = new QFormLayout(m_pNetwork);
  m_pNetworkRows->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
  AddNetworkRows();

  m_pConfirm = new QPushButton(QTxt(txt::kConfirm), this);
  m_pConfirm->setDefault(true);
  m_pCancel = new QPushButton(QTxt(txt::kCancel), this);
  connect(m_pConfirm, &QPushButton::clicked, this, &CSettingsDlg::OnConfirm);
  connect(m_pCancel, &QPushButton::clicked, this, &QDialog::reject);

  PlaceBelowFields();
  Fill(LoadSettingsDlg(GetIniFilePath()));
}

void CSettingsDlg::AddNetworkRows() {
  m_pProxy = new QLineEdit(m_pNetwork);
  m_pProxy->setPlaceholderText(QTxt(txt::kSetProxyHint));
  m_pNetworkRows->addRow(QTxt(txt::kSetProxy), m_pProxy);
  m_pHostConnections = new QSpinBox(m_pNetwork);
  m_pHostConnections->setRange(HostLimiter::kMinLimit, HostLimiter::kMaxLimit);
  m_pNetworkRows->addRow(QTxt(txt::kSetHostConnections), m_pHostConnections);
  m_pPreferQuality = new QCheckBox(QTxt(txt::kPreferQuality), m_pNetwork);
  m_pPreferQuality->setObjectName("PreferQuality");
  m_pNetworkRows->addRow(m_pPreferQuality);
}

void CSettingsDlg::PlaceBelowFields() {
  // The fields keep their places; the group grows with its rows and the
  // buttons keep their distance below whatever is above them.
  const QRect frame = Dlu(5, 0, 202, 113);
  const int gap = Dlu(0, 0, 0, 5).height();
  const int groupHeight = std::max(m_pNetwork->sizeHint().height(), Dlu(0, 0, 0, 24).height());
  m_pNetwork->setGeometry(frame.left(), frame.bottom() + 1 + gap / 2, frame.width(), groupHeight);
  const int buttonsTop = m_pNetwork->geometry().bottom() + 1 + gap;
  const QRect confirm = Dlu(41, 0, 50, 14), cancel = Dlu(115, 0, 50, 14);
  m_pConfirm->setGeometry(confirm.left(), buttonsTop, confirm.width(), confirm.height());
  m_pCancel->setGeometry(cancel.left(), buttonsTop, cancel.width(), cancel.height());
  setFixedSize(Dlu(0, 0, 212, 0).width(), m_pConfirm->geometry().bottom() + 1 + Dlu(0, 0, 0, 3).height());
}

QRect CSettingsDlg::Dlu(int x, int y, int w, int h) const {
  // The classic dialog-unit rule: a quarter of the average character width
  // across, an eighth of the font height down.
  const QFontMetrics fm(font());
  const int bx = std::max(6, fm.horizontalAdvance(
                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52);
  const int by = std::max(13, fm.height());
  return QRect(x * bx / 4, y * by / 8, w * bx / 4, h * by / 8);
}

void CSettingsDlg::Fill(const SettingsDlgFields& f) {
  for (const std::string& e : f.engines) m_pEngine->addItem(QGbk(e));
  m_pEngine->setCurrentIndex(f.nEngineSel < m_pEngine->count() ? f.nEngineSel : -1);
  for (const std::string& t : f.fileTypes) m_pFileType->addItem(QGbk(t));
  m_pFileType->setCurrentIndex(f.nFileTypeSel < m_pFileType->count() ? f.nFileTypeSel : -1);
  for (const std::string& b : f.blockItems) m_pThreads->addItem(QGbk(b));
  m_pThreads->setCurrentIndex(f.nBlocksSel < m_pThreads->count() ? f.nBlocksSel : -1);
  m_pMinSize->setText(QGbk(f.strMinSize));
  m_pMaxSize->setText(QGbk(f.strMaxSize));
  m_pCheckSpeed->setChecked(f.bCheckSpeed);
  m_pConTimeOut->setText(QGbk(f.strConTimeOut));
  m_pGetTimeOut->setText(QGbk(f.strGetTimeOut));
  m_pProxy->setText(QGbk(f.strProxy));
  m_pHostConnections->setValue(QGbk(f.strHostConnections).toInt());
  m_pPreferQuality->setChecked(f.bPreferQuality);
}

SettingsDlgInput CSettingsDlg::Input() const {
  SettingsDlgInput in;
  // A typed engine name selects nothing: only a chosen entry has a number.
  const int sel = m_pEngine->currentIndex();
  in.nEngineSel = (sel >= 0 && m_pEngine->itemText(sel) == m_pEngine->currentText()) ? sel : -1;
  in.strFileType = Gbk(m_pFileType);
  in.strBlocks = Gbk(m_pThreads);
  in.strMinSize = GbkOf(m_pMinSize->text());
  in.strMaxSize = GbkOf(m_pMaxSize->text());
  in.bCheckSpeed = m_pCheckSpeed->isChecked();
  in.strConTimeOut = GbkOf(m_pConTimeOut->text());
  in.strGetTimeOut = GbkOf(m_pGetTimeOut->text());
  in.strProxy = GbkOf(m_pProxy->text().trimmed());
  in.strHostConnections = std::to_string(m_pHostConnections->value());
  in.bPreferQuality = m_pPreferQuality->isChecked();
  return in;
}

void CSettingsDlg::OnConfirm() {
  // A refused input stays in the dialog for the user to mend.
  const std::string refusal = ConfirmSettingsDlg(GetIniFilePath(), Input(), GetApp());
  if (!refusal.empty()) {
    CMessageBoxes::Show(this, QGbk(refusal), QString(), false);
    return;
  }
  accept();
}

void CSettingsDlg::OnServer() {
  const std::string ini = GetIniFilePath();
  EngineEntry entry;
  const int n = CEngineSettings::ServerTarget(ini, m_pEngine->currentIndex(), entry);
  // Modal to this window without a nested event loop, like the message boxes.
  auto* dlg = new CServerEngineDlg(ini, n, entry, this);
  dlg->setAttribute(Qt::WA_DeleteOnClose);
  connect(dlg, &QDialog::accepted, this, [this, n] { ShowEngines(n - 1); });
  dlg->open();
}

void CSettingsDlg::ShowEngines(int select) {
  // The list as the file has it now; other fields keep what was typed.
  const SettingsDlgFields f = LoadSettingsDlg(GetIniFilePath());
  m_pEngine->clear();
  for (const std::string& e : f.engines) m_pEngine->addItem(QGbk(e));
  m_pEngine->setCurrentIndex(select < m_pEngine->count() ? select : -1);
}
