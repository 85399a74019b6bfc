// The settings window over MP3.ini: what it shows, what confirming writes
// and reloads, and the two kinds of number fields.
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QSpinBox>
#include <QLineEdit>
#include <QPushButton>

#include "tests/ui/UiTestHome.h"
#include <QInputMethodEvent>
#include <QMessageBox>

#include "res/texts/AppTexts.h"
#include "ui/MessageBoxes.h"
#include "ui/NumberEdit.h"
#include "ui/SettingsDlg.h"

using uitest::UiHome;

namespace {

QString TypeInto(QLineEdit* edit, const QString& start, const char* keys) {
  edit->setText(start);
  edit->setFocus();
  edit->end(false);
  QTest::keyClicks(edit, keys);
  return edit->text();
}

QStringList Items(const QComboBox* combo) {
  QStringList items;
  for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
  return items;
}

}  // namespace

class SettingsDlgTest : public QObject {
  Q_OBJECT

 private slots:
  void showsTheFile() {
    UiHome h;
    h.Start(false);
    CSettingsDlg dlg;
    QCOMPARE(dlg.windowTitle(), QString::fromUtf8("下载参数设置"));
    QCOMPARE(Items(dlg.EngineCombo()), QStringList({"本地搜索", "备用搜索"}));
    QCOMPARE(dlg.EngineCombo()->currentIndex(), 0);
    QCOMPARE(Items(dlg.FileTypeCombo()), QStringList({".MP3", ".WMA", ".RM"}));
    QCOMPARE(dlg.FileTypeCombo()->currentText(), QString(".MP3"));
    QCOMPARE(Items(dlg.ThreadsCombo()), QStringList({"1", "2", "3", "4", "5"}));
    QCOMPARE(dlg.ThreadsCombo()->currentText(), QString("2"));
    QCOMPARE(dlg.MinSizeEdit()->text(), QString("1"));
    QCOMPARE(dlg.MaxSizeEdit()->text(), QString("20"));
    QVERIFY(!dlg.CheckSpeedBox()->isChecked());
    QCOMPARE(dlg.ConTimeOutEdit()->text(), QString("5"));
    QCOMPARE(dlg.GetTimeOutEdit()->text(), QString("15"));
    QCOMPARE(dlg.ConfirmButton()->text(), QString::fromUtf8("确认"));
    QCOMPARE(dlg.CancelButton()->text(), QString::fromUtf8("取消"));
    QVERIFY(dlg.ConfirmButton()->isDefault());
  }

  void withoutAFile() {
    UiHome h;
    std::remove((h.home.home() + "/MP3.ini").c_str());
    h.Start(false);
    CSettingsDlg dlg;
    QCOMPARE(dlg.EngineCombo()->count(), 0);
    QCOMPARE(dlg.FileTypeCombo()->count(), 0);
    QCOMPARE(dlg.ThreadsCombo()->currentIndex(), -1);
    QCOMPARE(dlg.ThreadsCombo()->currentText(), QString());
    QCOMPARE(dlg.MinSizeEdit()->text(), QString());
    QVERIFY(dlg.CheckSpeedBox()->isChecked());
    QCOMPARE(dlg.ConTimeOutEdit()->text(), QString("5"));
    QCOMPARE(dlg.GetTimeOutEdit()->text(), QString("15"));
  }

  void confirmWritesAndReloads() {
    UiHome h;
    h.Start(false);
    CSettingsDlg dlg;
    dlg.EngineCombo()->setCurrentIndex(1);
    dlg.FileTypeCombo()->setCurrentIndex(1);
    dlg.ThreadsCombo()->setCurrentIndex(3);
    dlg.MinSizeEdit()->setText("1.5");
    dlg.MaxSizeEdit()->setText("12");
    dlg.CheckSpeedBox()->setChecked(true);
    dlg.ConTimeOutEdit()->setText("7");
    dlg.GetTimeOutEdit()->setText("30");
    QTest::mouseClick(dlg.ConfirmButton(), Qt::LeftButton);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));

    const std::string ini = h.Ini();
    for (const char* line : {"MinSize=1.5", "MaxSize=12", "Blocks=4", "CheckSpeed=1", "ConTimeOut=7",
                             "GetTimeOut=30", "CurSel=.WMA", "CurSel=2"})
      QVERIFY2(ini.find(line) != std::string::npos, line);
    const TaskSettings s = h.app->GetSettings();
    QCOMPARE(s.m_nBlocks, 4);
    QCOMPARE(s.m_nMinSize, 1572864);
    QCOMPARE(s.m_nMaxSize, 12 * 1048576);
    QCOMPARE(s.m_strFileType, std::string(".WMA"));
    QVERIFY(s.m_bCheckSpeed);

    // A second opening shows what was confirmed.
    CSettingsDlg again;
    QCOMPARE(again.EngineCombo()->currentIndex(), 1);
    QCOMPARE(again.FileTypeCombo()->currentText(), QString(".WMA"));
    QCOMPARE(again.ThreadsCombo()->currentText(), QString("4"));
    QCOMPARE(again.MinSizeEdit()->text(), QString("1.5"));
  }

  void typedEngineTextSelectsNothing() {
    UiHome h;
    h.Start(false);
    CSettingsDlg dlg;
    dlg.EngineCombo()->setEditText("other");
    dlg.ThreadsCombo()->setEditText(" 3 ");
    QCOMPARE(dlg.Input().nEngineSel, -1);
    QCOMPARE(dlg.Input().strBlocks, std::string(" 3 "));
    dlg.OnConfirm();
    const std::string ini = h.Ini();
    QVERIFY(ini.find("[Enginee]\nCurSel=0") != std::string::npos || ini.find("CurSel=0") != std::string::npos);
    QCOMPARE(h.app->GetSettings().m_nBlocks, 3);
  }

  // Refused input: the box says why, the file stays as it was and the
  // dialog stays open for the user to mend the field.
  void refusesWhatATaskCannotUse() {
    UiHome h;
    h.Start(false);
    const std::string before = h.Ini();
    const QString blocks = QString::fromUtf8("线程数必须在1到5之间.");
    const QString sizes = QString::fromUtf8("最小文件大小不能大于最大文件大小.");
    struct Case {
      const char* blocks;
      const char* minSize;
      const char* maxSize;
      QString refusal;
    };
    const Case cases[] = {
        {"9", "1", "20", blocks},   {"0", "1", "20", blocks},   {"abc", "1", "20", blocks},
        {"2x", "1", "20", blocks},  {"-1", "1", "20", blocks},  {"2", "5", "4.5", sizes},
        {"2", "21", "", sizes},  // an empty maximum stands for the 20 MB in effect
        {"2", "", "0.5", sizes},    // and an empty minimum for the 1 MB in effect
    };
    for (const Case& c : cases) {
      CSettingsDlg dlg;
      dlg.show();
      dlg.ThreadsCombo()->setEditText(c.blocks);
      dlg.MinSizeEdit()->setText(c.minSize);
      dlg.MaxSizeEdit()->setText(c.maxSize);
      dlg.ConfirmButton()->click();
      QMessageBox* box = CMessageBoxes::Find(c.refusal);
      QVERIFY2(box, c.blocks);
      QCOMPARE(box->windowTitle(), QString::fromUtf8("VireloMP3下载器"));
      QCOMPARE(box->parentWidget(), &dlg);
      QVERIFY(dlg.isVisible());
      QCOMPARE(h.Ini(), before);
      box->button(QMessageBox::Ok)->click();
      QTRY_VERIFY(!CMessageBoxes::Find(c.refusal));
    }
    QCOMPARE(h.app->GetSettings().m_nBlocks, 2);

    // Equal sizes, a zero time-out (no limit) and empty fields are accepted.
    CSettingsDlg dlg;
    dlg.ThreadsCombo()->setEditText("");
    dlg.MinSizeEdit()->setText("3");
    dlg.MaxSizeEdit()->setText("3");
    dlg.ConTimeOutEdit()->setText("0");
    dlg.GetTimeOutEdit()->setText("");
    dlg.OnConfirm();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QVERIFY(CMessageBoxes::Open().isEmpty());
    QCOMPARE(h.app->GetSettings().m_nMinSize, 3 * 1048576);
    QCOMPARE(h.app->GetSettings().m_nBlocks, 2);
  }

  // The network group sits below the specified fields, which keep their
  // places, with the buttons below it; its proxy row shows, checks and
  // writes [Network] Proxy.
  void networkGroupBelowTheFields() {
    UiHome h;
    h.WriteIni(h.DefaultIni() + "[Network]\nProxy=http://127.0.0.1:3128\n");
    h.Start(false);
    CSettingsDlg dlg;
    dlg.show();
    QCOMPARE(dlg.NetworkGroup()->title(), QString::fromUtf8("网络"));
    auto* rows = qobject_cast<QFormLayout*>(dlg.NetworkGroup()->layout());
    QVERIFY(rows);
    auto* label = qobject_cast<QLabel*>(rows->labelForField(dlg.ProxyEdit()));
    QVERIFY(label);
    QCOMPARE(label->text(), QString::fromUtf8("代理服务器:"));
    QCOMPARE(dlg.ProxyEdit()->text(), QString("http://127.0.0.1:3128"));
    const int fieldsBottom = std::max(dlg.CheckSpeedBox()->geometry().bottom(), dlg.GetTimeOutEdit()->geometry().bottom());
    QVERIFY(dlg.NetworkGroup()->geometry().top() > fieldsBottom);
    QVERIFY(dlg.ConfirmButton()->geometry().top() > dlg.NetworkGroup()->geometry().bottom());
    QVERIFY(dlg.CancelButton()->geometry().top() == dlg.ConfirmButton()->geometry().top());
    QVERIFY(dlg.height() > dlg.ConfirmButton()->geometry().bottom());

    const std::string before = h.Ini();
    dlg.ProxyEdit()->setText("socks5://127.0.0.1:1080");
    dlg.ConfirmButton()->click();
    const QString refusal = QString::fromUtf8(txt::kProxyUnusable);
    QMessageBox* box = CMessageBoxes::Find(refusal);
    QVERIFY(box);
    QCOMPARE(h.Ini(), before);
    box->button(QMessageBox::Ok)->click();
    QTRY_VERIFY(!CMessageBoxes::Find(refusal));

    // The connections per host: the limit in effect, written as chosen.
    auto* hosts = qobject_cast<QLabel*>(rows->labelForField(dlg.HostConnectionsBox()));
    QVERIFY(hosts);
    QCOMPARE(hosts->text(), QString::fromUtf8("每个服务器的最大连接数:"));
    QCOMPARE(dlg.HostConnectionsBox()->value(), 6);
    QCOMPARE(dlg.HostConnectionsBox()->maximum(), 16);
    dlg.HostConnectionsBox()->setValue(3);

    dlg.ProxyEdit()->setText(" none ");
    dlg.OnConfirm();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QVERIFY(h.Ini().find("Proxy=none") != std::string::npos);
    QVERIFY(h.Ini().find("HostConnections=3") != std::string::npos);
  }

  void cancelChangesNothing() {
    UiHome h;
    h.Start(false);
    const std::string before = h.Ini();
    CSettingsDlg dlg;
    dlg.MinSizeEdit()->setText("3");
    QTest::mouseClick(dlg.CancelButton(), Qt::LeftButton);
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
    QCOMPARE(h.Ini(), before);
  }

  void sizeFieldsFilterTypedCharacters() {
    CNumberEdit edit;
    edit.show();
    QCOMPARE(TypeInto(&edit, "", "20"), QString("20"));
    QCOMPARE(TypeInto(&edit, "", "1.5"), QString("1.5"));
    QCOMPARE(TypeInto(&edit, "", "12.5"), QString("12.5"));
    QCOMPARE(TypeInto(&edit, "12.5", "5"), QString("12.5"));  // four characters at most
    QCOMPARE(TypeInto(&edit, "1.5", "."), QString("1.5"));    // one point
    QCOMPARE(TypeInto(&edit, "123", "."), QString("123"));    // no point as fourth character
    QCOMPARE(TypeInto(&edit, "", ".5"), QString("5"));        // no leading point
    QCOMPARE(TypeInto(&edit, "", "12345"), QString("1234"));
    QCOMPARE(TypeInto(&edit, "", "a1-b"), QString("1"));
    edit.setText("1.5");
    edit.end(false);
    QTest::keyClick(&edit, Qt::Key_Backspace);
    QCOMPARE(edit.text(), QString("1."));  // backspace acts once
  }

  // How Chinese users type: the input method commits a whole string at
  // once. It must get through no more than the same keys would.
  void inputMethodTextIsFilteredLikeKeys() {
    UiHome h;
    h.Start(false);
    CSettingsDlg dlg;
    dlg.show();
    auto commit = [](QLineEdit* edit, const QString& start, const QString& text) {
      edit->setText(start);
      edit->setFocus();
      edit->end(false);
      QInputMethodEvent event;
      event.setCommitString(text);
      QApplication::sendEvent(edit, &event);
      return edit->text();
    };
    for (QLineEdit* edit : {static_cast<QLineEdit*>(dlg.MinSizeEdit()), static_cast<QLineEdit*>(dlg.MaxSizeEdit())}) {
      QCOMPARE(commit(edit, "", "abc12345.."), QString("1234"));
      QCOMPARE(commit(edit, "", ".5"), QString("5"));
      QCOMPARE(commit(edit, "1", ".5.5"), QString("1.55"));
      QCOMPARE(commit(edit, "123", "."), QString("123"));
      QCOMPARE(commit(edit, "", QString::fromUtf8("１２")), QString());  // full-width digits, as from keys
      QCOMPARE(commit(edit, "2", QString::fromUtf8("0")), QString("20"));
    }
    QCOMPARE(commit(dlg.ConTimeOutEdit(), "", QString::fromUtf8("1a2.3秒")), QString("123"));
  }

  void timeOutFieldsTakeDigitsOnly() {
    UiHome h;
    h.Start(false);
    CSettingsDlg dlg;
    dlg.show();
    QCOMPARE(TypeInto(dlg.ConTimeOutEdit(), "", "1a2.3"), QString("123"));
    QCOMPARE(TypeInto(dlg.GetTimeOutEdit(), "", "123456789"), QString("123456789"));
  }
};

QTEST_MAIN(SettingsDlgTest)
#include "SettingsDlgTest.moc"
