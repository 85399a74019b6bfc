// The search bar: its button adds the typed names and brings the download
// list on screen; Enter starts nothing.
#include <QLabel>
#include <QLineEdit>

#include "res/Texts.h"
#include "tests/ui/UiTestHome.h"
#include "ui/DowningList.h"
#include "ui/SearchView.h"

using uitest::Join;
using uitest::Names;
using uitest::UiHome;

class SearchViewTest : public QObject {
  Q_OBJECT

 private slots:
  void layout() {
    UiHome h;
    h.Start();
    CSearchView* bar = h.frame->GetSearchView();
    QCOMPARE(bar->findChild<QLabel*>()->text(), QString::fromUtf8("请输入歌名:"));
    QCOMPARE(bar->Button()->text(), QString::fromUtf8("下载"));
    QVERIFY(bar->Edit()->x() < bar->Button()->x());
    // The pressed face differs from the up face.
    const QImage up = bar->Button()->grab().toImage();
    bar->Button()->setDown(true);
    const QImage down = bar->Button()->grab().toImage();
    bar->Button()->setDown(false);
    QVERIFY(up != down);
  }

  void emptyTextSaysSoAndStillShowsTheList() {
    UiHome h;
    h.Start();
    h.frame->HideBottomRow();
    h.frame->ReplaceRightView(kViewSongList);
    h.app->SetViewName(kViewSongList);
    h.frame->GetSearchView()->Edit()->setText("   ");
    QTest::mouseClick(h.frame->GetSearchView()->Button(), Qt::LeftButton);
    QTRY_VERIFY(!h.messages.empty());
    QCOMPARE(h.messages.back(), QString::fromUtf8("歌名不能为空."));
    QVERIFY(qobject_cast<CDowningList*>(h.frame->GetRightView()));
    QCOMPARE(h.app->GetViewName(), std::string(kViewDowningList));
    QVERIFY(!h.frame->IsBottomRowShown());
    QCOMPARE(h.app->GetTaskCount(), 0);
  }

  void elevenNamesAddTen() {
    UiHome h;
    h.Start();
    const std::vector<std::string> names = Names("n", 11);
    h.frame->GetSearchView()->Edit()->setText(QString::fromStdString(Join(names)));
    QTest::mouseClick(h.frame->GetSearchView()->Button(), Qt::LeftButton);
    const std::vector<std::string> ten(names.begin(), names.begin() + 10);
    QCOMPARE(h.TaskNames(), ten);
    auto* list = qobject_cast<CDowningList*>(h.frame->GetRightView());
    QCOMPARE(list->rowCount(), 10);
    // The text stays in the box.
    QCOMPARE(h.frame->GetSearchView()->Edit()->text(), QString::fromStdString(Join(names)));
  }

  void listWithPageBelowKeepsItsArrangement() {
    UiHome h;
    h.Start();
    QCOMPARE(h.app->GetViewName(), std::string(kViewHtml));
    QWidget* list = h.frame->GetRightView();
    QWidget* page = h.frame->GetBottomView();
    h.frame->GetSearchView()->Edit()->setText(QString::fromUtf8("夜来香"));
    QTest::mouseClick(h.frame->GetSearchView()->Button(), Qt::LeftButton);
    QCOMPARE(h.frame->GetRightView(), list);
    QCOMPARE(h.frame->GetBottomView(), page);
    QVERIFY(h.frame->IsBottomRowShown());
    QCOMPARE(h.app->GetViewName(), std::string(kViewHtml));
    auto* rows = qobject_cast<CDowningList*>(list);
    QCOMPARE(rows->rowCount(), 1);
    QCOMPARE(rows->CellText(0, 0), Utf8ToGbk("夜来香"));
  }

  void enterStartsNothing() {
    UiHome h;
    h.Start();
    QLineEdit* edit = h.frame->GetSearchView()->Edit();
    edit->setFocus();
    QTest::keyClicks(edit, "abc");
    QTest::keyClick(edit, Qt::Key_Return);
    QTest::keyClick(edit, Qt::Key_Enter);
    QTest::qWait(50);
    QCOMPARE(h.app->GetTaskCount(), 0);
    QVERIFY(h.messages.empty());
    QCOMPARE(edit->text(), QString("abc"));
  }
};

QTEST_MAIN(SearchViewTest)
#include "SearchViewTest.moc"
