#include "ui/SystemOpener.h"

#include <QProcess>
#include <QUrl>

namespace {
QString& ProgramName() {
  static QString program = QStringLiteral("xdg-open");
  return program;
}
}  // namespace

void CSystemOpener::SetProgram(const QString& program) { ProgramName() = program; }

QString CSystemOpener::Program() { return ProgramName(); }

void CSystemOpener::Open(const QUrl& url, std::function<void()> onFailure) {
  // No parent: a player still running when the program ends must not be
  // ended with it (a QProcess kills its child when deleted).
  auto* process = new QProcess;
  process->setProgram(Program());
  // The encoded form keeps file names that are not UTF-8 intact.
  process->setArguments({QString::fromLatin1(url.toEncoded())});
  process->setStandardInputFile(QProcess::nullDevice());
  process->setStandardOutputFile(QProcess::nullDevice());
  process->setStandardErrorFile(QProcess::nullDevice());
  auto fail = std::make_shared<std::function<void()>>(std::move(onFailure));
  QObject::connect(process, &QProcess::errorOccurred, process, [process, fail](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart) return;
    if (*fail) (*fail)();
    process->deleteLater();
  });
  QObject::connect(process, &QProcess::finished, process,
                   [process, fail](int code, QProcess::ExitStatus status) {
                     if ((status != QProcess::NormalExit || code != 0) && *fail) (*fail)();
                     process->deleteLater();
                   });
  process->start();
}
