#pragma once
// The application core's port for the Qt front end. Worker threads only
// store what they want shown and post one queued call; the UI thread applies
// the latest text of each cell, so a busy download costs one repaint per row
// and no worker ever waits for the UI thread.
#include <QObject>
#include <QString>
#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/UiPort.h"

class CDowningList;

class CQtUiPort : public QObject, public IUiPort {
  Q_OBJECT
 public:
  // `locate` runs on the UI thread and gives the download list while it is
  // on screen, else nullptr (then pending writes are dropped).
  using ListLocator = std::function<CDowningList*()>;
  explicit CQtUiPort(ListLocator locate, QObject* parent = nullptr);
  ~CQtUiPort() override;

  void MessageBox(const std::string& text, const std::string& caption) override;
  void SetListText(const std::string& name, int column, const std::string& text) override;
  void DeleteListRow(const std::string& name) override;

  // UI thread: applies everything stored so far.
  void Flush();
  // Message boxes are shown without waiting for them; tests turn the
  // windows off and listen to MessageShown instead.
  void SetShowBoxes(bool show) { m_bShowBoxes = show; }

 signals:
  void MessageShown(const QString& text, const QString& caption);

 private:
  struct Pending {
    std::array<std::optional<std::string>, 11> cells;
    bool deleted = false;  // the row goes before the cells are written
  };
  void PostFlush();  // with m_mutex held
  void ShowMessage(const std::string& text, const std::string& caption);

  ListLocator m_locate;
  std::mutex m_mutex;  // guards the members below
  std::map<std::string, Pending> m_pending;
  std::vector<std::string> m_order;  // names in the order they first came
  bool m_bFlushPosted = false;
  bool m_bShowBoxes = true;
};
