// The music server engine window: a new server lands in MP3.ini with its
// password in the "enc:" form and the file closed to others; an edit keeps
// the stored password unless one is typed; incomplete input writes nothing.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QWindow>

#include <sys/stat.h>

#include "app/EngineSettings.h"
#include "app/IniFile.h"
#include "engine/Common.h"
#include "tests/ui/UiTestHome.h"
#include "ui/MessageBoxes.h"
#include "ui/ServerEngineDlg.h"
#include "ui/SettingsDlg.h"

using uitest::UiHome;

class ServerEngineDlgTest : public QObject {
  Q_OBJECT

 private slots:
  void addsAServerAfterTheLastEngine() {
    UiHome h;
    h.Start(false);
    const std::string ini = GetIniFilePath();
    EngineEntry entry;
    // The selected engine is a page engine: the button adds a third one.
    QCOMPARE(CEngineSettings::ServerTarget(ini, 0, entry), 3);
    CServerEngineDlg dlg(ini, 3, entry);
    QCOMPARE(dlg.windowTitle(), QString::fromUtf8("添加音乐服务器"));
    QCOMPARE(dlg.PasswordEdit()->echoMode(), QLineEdit::Password);
    // Whoever types a password learns what becomes of it.
    bool warned = false;
    for (QLabel* l : dlg.findChildren<QLabel*>())
      warned = warned || (l->text().contains("enc:") && l->text().contains(QString::fromUtf8("不是加密")) &&
                          l->text().contains("http"));
    QVERIFY(warned);
    dlg.NameEdit()->setText(QString::fromUtf8("我的音乐库"));
    dlg.ServerEdit()->setText(" http://127.0.0.1:4533 ");
    dlg.UserEdit()->setText("user1");
    QVERIFY(!dlg.Save());  // no password yet
    QCOMPARE(IniRead(ini, "Enginee", "Count", "", 10), std::string("2"));
    dlg.PasswordEdit()->setText(QString::fromUtf8("月s"));
    QVERIFY(dlg.Save());

    QCOMPARE(IniRead(ini, "Enginee", "Count", "", 10), std::string("3"));
    QCOMPARE(IniRead(ini, "Enginee", "Enginee3", "", 20), Utf8ToGbk("我的音乐库"));
    QCOMPARE(IniRead(ini, "Enginee", "Enginee3_server", "", 256), std::string("http://127.0.0.1:4533"));
    QCOMPARE(IniRead(ini, "Enginee", "Enginee3_user", "", 256), std::string("user1"));
    QCOMPARE(IniRead(ini, "Enginee", "Enginee3_password", "", 512), std::string("enc:e69c8873"));
    struct stat st {};
    QCOMPARE(::stat(ini.c_str(), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0600u);

    // The settings window's button edits it in place; the list shows it
    // selected, and a confirm selects it for the next search.
    CSettingsDlg settings;
    settings.show();
    settings.EngineCombo()->setCurrentIndex(-1);
    settings.EngineCombo()->setCurrentIndex(2);
    QTest::mouseClick(settings.ServerButton(), Qt::LeftButton);
    auto* edit = settings.findChild<CServerEngineDlg*>();
    QVERIFY(edit);
    QCOMPARE(edit->windowTitle(), QString::fromUtf8("编辑音乐服务器"));
    // Stays above the settings window that opened it.
    QVERIFY(edit->windowHandle());
    QCOMPARE(edit->windowHandle()->transientParent(), settings.windowHandle());
    QCOMPARE(edit->UserEdit()->text(), QString("user1"));
    edit->UserEdit()->setText("user2");
    QTest::mouseClick(edit->ConfirmButton(), Qt::LeftButton);
    QTRY_VERIFY(!settings.findChild<CServerEngineDlg*>());
    QCOMPARE(IniRead(ini, "Enginee", "Enginee3_user", "", 256), std::string("user2"));
    QCOMPARE(IniRead(ini, "Enginee", "Enginee3_password", "", 512), std::string("enc:e69c8873"));
    QCOMPARE(settings.EngineCombo()->count(), 3);
    QCOMPARE(settings.EngineCombo()->currentText(), QString::fromUtf8("我的音乐库"));
    QCOMPARE(settings.ServerButton()->text(), QString::fromUtf8("服务器..."));
    settings.OnConfirm();
    QCOMPARE(h.app->GetSettings().m_strServer, std::string("http://127.0.0.1:4533"));
  }

  void editingKeepsThePasswordUnlessRetyped() {
    UiHome h;
    const std::string file = h.home.home() + "/MP3.ini";
    IniWrite(file, "Enginee", "Count", "3");
    IniWrite(file, "Enginee", "Enginee3", "lib");
    IniWrite(file, "Enginee", "Enginee3_server", "http://127.0.0.1:4533");
    IniWrite(file, "Enginee", "Enginee3_user", "u");
    IniWrite(file, "Enginee", "Enginee3_password", "plain");
    h.Start(false);
    const std::string ini = GetIniFilePath();
    EngineEntry entry;
    QCOMPARE(CEngineSettings::ServerTarget(ini, 2, entry), 3);
    CServerEngineDlg dlg(ini, 3, entry);
    QCOMPARE(dlg.windowTitle(), QString::fromUtf8("编辑音乐服务器"));
    QCOMPARE(dlg.ServerEdit()->text(), QString("http://127.0.0.1:4533"));
    QCOMPARE(dlg.PasswordEdit()->text(), QString());  // never shown back
    dlg.UserEdit()->setText("u2");
    QVERIFY(dlg.Save());
    QCOMPARE(IniRead(ini, "Enginee", "Enginee3_user", "", 256), std::string("u2"));
    QCOMPARE(IniRead(ini, "Enginee", "Enginee3_password", "", 512), std::string("plain"));
    QCOMPARE(IniRead(ini, "Enginee", "Count", "", 10), std::string("3"));
    dlg.ServerEdit()->setText("ftp://x");  // only http and https servers are reached
    QVERIFY(!dlg.Save());
    QCOMPARE(IniRead(ini, "Enginee", "Enginee3_server", "", 256), std::string("http://127.0.0.1:4533"));
    // The usual way a home server is published: behind TLS.
    dlg.ServerEdit()->setText("https://music.home.arpa:8443/");
    QVERIFY(dlg.Save());
    QCOMPARE(IniRead(ini, "Enginee", "Enginee3_server", "", 256), std::string("https://music.home.arpa:8443/"));
  }

  void eachRefusalSaysWhatIsMissing() {
    UiHome h;
    h.Start(false);
    const std::string ini = GetIniFilePath();
    CServerEngineDlg dlg(ini, 3, EngineEntry());
    dlg.show();
    // Filled one field at a time, the dialog names the next gap each time
    // and writes nothing until the last one is given.
    const struct {
      QLineEdit* fill;
      const char* value;
      const char* refusal;
    } steps[] = {
        {dlg.NameEdit(), "lib", "请输入服务器地址(例如 https://music.example.com)."},
        {dlg.ServerEdit(), "music.example.com", "请输入服务器地址(例如 https://music.example.com)."},
        {dlg.ServerEdit(), "http://127.0.0.1:4533", "请输入用户名."},
        {dlg.UserEdit(), "u", "请输入密码."},
    };
    for (const auto& step : steps) {
      step.fill->setText(QString::fromUtf8(step.value));
      QVERIFY(!dlg.Save());
      QMessageBox* box = CMessageBoxes::Find(QString::fromUtf8(step.refusal));
      QVERIFY2(box, step.refusal);
      QCOMPARE(CMessageBoxes::Open().size(), 1);
      QCOMPARE(box->parentWidget(), &dlg);
      box->close();
      QTRY_VERIFY(CMessageBoxes::Open().isEmpty());
      QCOMPARE(IniRead(ini, "Enginee", "Count", "", 10), std::string("2"));
    }
    dlg.NameEdit()->clear();
    QVERIFY(!dlg.Save());
    QVERIFY(CMessageBoxes::Find(QString::fromUtf8("请输入服务器名称.")));
    CMessageBoxes::Find(QString::fromUtf8("请输入服务器名称."))->close();
    dlg.NameEdit()->setText("lib");
    dlg.PasswordEdit()->setText("p");
    QVERIFY(dlg.Save());
    QVERIFY(CMessageBoxes::Open().isEmpty());
    QCOMPARE(IniRead(ini, "Enginee", "Count", "", 10), std::string("3"));
  }
};

QTEST_MAIN(ServerEngineDlgTest)
#include "ServerEngineDlgTest.moc"
