// The windowed program: the application object first (it takes the lock on
// the program directory before loading anything), then the frame.
#include <QApplication>

#include "app/DownloaderApp.h"
#include "engine/Common.h"
#include "ui/MainFrame.h"

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  // The frame hides to the tray; only the exit command ends the program.
  QApplication::setQuitOnLastWindowClosed(false);

  CDownloaderApp app;
  if (app.IsRefused()) {
    // Another copy owns this program directory: bring it forward and end
    // without saving anything.
    CMainFrame::AskRunningCopyToRaise(GetAppDirectory(), 2000);
    return 0;
  }
  CMainFrame frame;
  QObject::connect(&frame, &CMainFrame::ExitRequested, &qapp, &QCoreApplication::quit, Qt::QueuedConnection);
  frame.show();
  return qapp.exec();
}
