// The updater the program starts beside itself when a newer version is
// published (or from the toolbar). It reads the published version file and
// tells the user what it found: printed always, and in a small window when
// there is a screen to show it on. Installing is left to the user (or to
// the package manager, for an installed copy).
//   update PROGRAM-NAME INSTALLED-VERSION VERSION-FILE-ADDRESS PROGRAM-PATH
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/UpdateReport.h"
#include "res/Texts.h"

#ifdef VIRELOMP3_UPDATE_WINDOW
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
// A window nobody can see would wait for ever: offscreen and headless runs
// print only.
bool HasScreen() {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (platform && std::strncmp(platform, "offscreen", 9) == 0) return false;
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

int ShowWindow(int argc, char** argv, const std::vector<std::string>& lines) {
  QApplication app(argc, argv);
  QApplication::setApplicationDisplayName(QString::fromUtf8(txt::kAppName));
  QDialog dlg;
  dlg.setWindowTitle(QString::fromUtf8(txt::kUpdateCaption));
  auto* layout = new QVBoxLayout(&dlg);
  QString text;
  for (const std::string& line : lines) text += QString::fromUtf8(line) + "\n";
  auto* label = new QLabel(text.trimmed(), &dlg);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(label);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &dlg);
  buttons->button(QDialogButtonBox::Ok)->setText(QString::fromUtf8(txt::kOk));
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dlg, &QDialog::accept);
  layout->addWidget(buttons);
  dlg.show();
  return app.exec();
}
}  // namespace
#endif

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr,
                 "usage: update PROGRAM-NAME INSTALLED-VERSION VERSION-FILE-ADDRESS PROGRAM-PATH\n");
    return 2;
  }
  const UpdateFindings found = FindUpdate(argv[3], argv[4]);
  const std::vector<std::string> lines = UpdateReportLines(argv[2], found);
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  std::fflush(stdout);
#ifdef VIRELOMP3_UPDATE_WINDOW
  if (HasScreen()) ShowWindow(argc, argv, lines);
#endif
  return found.m_strPublished.empty() ? 1 : 0;
}
