// The settings window over MP3.ini: what it shows, what confirming writes
// and reloads, and the two kinds of number fields.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "tests/ui/UiTestHome.h"
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
    dlg.ThreadsCombo()->setEditText("9");
    QCOMPARE(dlg.Input().nEngineSel, -1);
    QCOMPARE(dlg.Input().strBlocks, std::string("9"));
    dlg.OnConfirm();
    const std::string ini = h.Ini();
    QVERIFY(ini.find("[Enginee]\nCurSel=0") != std::string::npos || ini.find("CurSel=0") != std::string::npos);
    QCOMPARE(h.app->GetSettings().m_nBlocks, 5);  // clamped by the core
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
