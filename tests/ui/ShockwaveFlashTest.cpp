#include <QImage>
#include <QMovie>
#include <QSignalSpy>
#include <QtTest>

#include "engine/Gbk.h"
#include "tests/support/TempHome.h"
#include "tests/ui/UiTestHome.h"
#include "ui/MainFrame.h"
#include "ui/ShockwaveFlash.h"

namespace {

// Three 4 x 2 frames (red, green, blue), 50 ms each, looping.
const unsigned char kGif[] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x04, 0x00, 0x02, 0x00, 0xf0, 0x00, 0x00, 0xff, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x21, 0xf9, 0x04, 0x00, 0x05, 0x00, 0x00, 0x00, 0x21, 0xff, 0x0b, 0x4e, 0x45, 0x54, 0x53,
    0x43, 0x41, 0x50, 0x45, 0x32, 0x2e, 0x30, 0x03, 0x01, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00,
    0x04, 0x00, 0x02, 0x00, 0x00, 0x02, 0x03, 0x84, 0x6f, 0x05, 0x00, 0x21, 0xf9, 0x04, 0x00, 0x05, 0x00,
    0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x02, 0x00, 0x80, 0x00, 0xff, 0x00, 0x00, 0x00,
    0x00, 0x02, 0x03, 0x84, 0x6f, 0x05, 0x00, 0x21, 0xf9, 0x04, 0x00, 0x05, 0x00, 0x00, 0x00, 0x2c, 0x00,
    0x00, 0x00, 0x00, 0x04, 0x00, 0x02, 0x00, 0x80, 0x00, 0x00, 0xff, 0x00, 0x00, 0x00, 0x02, 0x03, 0x84,
    0x6f, 0x05, 0x00, 0x3b};

}  // namespace

class ShockwaveFlashTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<vtest::TempHome> m_home;

 private slots:
  void init() {
    m_home = std::make_unique<vtest::TempHome>();
    QVERIFY(vtest::WriteFile(m_home->home() + "/横幅.gif", std::string(reinterpret_cast<const char*>(kGif), sizeof kGif)));
  }
  void cleanup() { m_home.reset(); }

  void createdAsAChildInItsRectangle() {
    QWidget bar;
    CShockwaveFlash banner;
    QVERIFY(banner.Create(QRect(0, 0, 200, 50), &bar, 0));
    QCOMPARE(banner.parentWidget(), &bar);
    QCOMPARE(banner.geometry(), QRect(0, 0, 200, 50));
    banner.setGeometry(400, 0, 401, 50);
    QCOMPARE(banner.size(), QSize(401, 50));
    banner.setParent(nullptr);
  }

  void gifPlaysItsFrames() {
    CShockwaveFlash banner;
    banner.resize(200, 50);
    banner.show();
    banner.SetMovie(Utf8ToGbk("横幅.gif"));  // beside the program
    QMovie* movie = banner.Movie();
    QVERIFY(movie);
    QCOMPARE(movie->state(), QMovie::Running);
    QSignalSpy frames(movie, &QMovie::frameChanged);
    QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 3, 5000);
    // Jumping emits frameChanged again, so take the frame numbers first.
    QList<int> seen;
    for (const QList<QVariant>& f : frames) seen << f.at(0).toInt();
    movie->stop();
    QSet<QRgb> colours;
    for (int frame : seen) {
      movie->jumpToFrame(frame);
      colours.insert(movie->currentImage().pixel(0, 0) & 0xffffff);
    }
    QVERIFY(colours.size() >= 2);  // the picture really changes
    QVERIFY(banner.hasScaledContents());
  }

  void frameBannersFollowMovieIni() {
    uitest::UiHome h;
    QVERIFY(vtest::WriteFile(h.home.home() + "/" + "banner.gif",
                             std::string(reinterpret_cast<const char*>(kGif), sizeof kGif)));
    QVERIFY(vtest::WriteFile(h.home.home() + "/Movie.ini", "[Movie]\nMovie1=banner.gif\nMovie2=\n"));
    h.Start();
    auto* left = qobject_cast<CShockwaveFlash*>(h.frame->GetBanner(0));
    auto* right = qobject_cast<CShockwaveFlash*>(h.frame->GetBanner(1));
    QVERIFY(left && right);
    QVERIFY(left->Movie());
    QCOMPARE(left->Movie()->state(), QMovie::Running);
    QVERIFY(right->IsBlank());
    QCOMPARE(left->height(), 50);
  }

  void stillImageAndBlankCases() {
    QImage still(8, 8, QImage::Format_RGB32);
    still.fill(Qt::yellow);
    QVERIFY(still.save(QString::fromStdString(m_home->home() + "/still.png")));
    CShockwaveFlash banner;
    banner.SetMovie("still.png");
    QVERIFY(!banner.Movie());
    QVERIFY(!banner.IsBlank());

    banner.SetMovie(("file://" + m_home->home() + "/still.png"));
    QVERIFY(!banner.IsBlank());

    banner.SetMovie("");
    QVERIFY(banner.IsBlank());
    banner.SetMovie("missing.gif");
    QVERIFY(banner.IsBlank());
    QVERIFY(vtest::WriteFile(m_home->home() + "/broken.gif", "GIF89a not really"));
    banner.SetMovie("broken.gif");
    QVERIFY(banner.IsBlank());
    QVERIFY(!banner.Movie());

    // A new movie replaces a running one.
    banner.SetMovie(Utf8ToGbk("横幅.gif"));
    QVERIFY(banner.Movie());
    banner.SetMovie("");
    QVERIFY(!banner.Movie());
    QVERIFY(banner.IsBlank());
  }
};

QTEST_MAIN(ShockwaveFlashTest)
#include "ShockwaveFlashTest.moc"
