#pragma once
// One task's candidates and blocks, refreshed twice a second from the
// application's snapshot while the window is open. The user may restart the
// task on another candidate from here.
#include <QDialog>
#include <string>

#include "app/TaskDetails.h"

class CDownloaderApp;
class QLabel;
class QPushButton;
class QTableWidget;
class QTimer;

class CTaskDetailsDlg : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kRefreshMs = 500;

  // name is GBK, as the task table holds it.
  CTaskDetailsDlg(CDownloaderApp& app, const std::string& name, QWidget* parent = nullptr);

  // Shows the window of name, raising the one already open for it.
  static CTaskDetailsDlg* Open(CDownloaderApp& app, const std::string& name, QWidget* parent);

  const std::string& Name() const { return m_strName; }
  QTableWidget* Candidates() const { return m_pCandidates; }
  QTableWidget* Blocks() const { return m_pBlocks; }
  QPushButton* UseLinkButton() const { return m_pUseLink; }
  QLabel* ReasonLabel() const { return m_pReason; }

  // Reads a fresh snapshot into the tables (the timer calls it).
  void Refresh();
  // Restarts the task on the selected candidate; false when none is selected.
  bool UseSelectedLink();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void FillCandidates(const TaskDetails& d);
  void FillBlocks(const TaskDetails& d);
  std::string SelectedAddress() const;
  void UpdateButton();

  CDownloaderApp& m_app;
  const std::string m_strName;
  QLabel* m_pReason = nullptr;
  QTableWidget* m_pCandidates = nullptr;
  QTableWidget* m_pBlocks = nullptr;
  QPushButton* m_pUseLink = nullptr;
  QTimer* m_pTimer = nullptr;
};
