#pragma once
// A file of fixed 301-byte TaskEntry records with a cursor; the storage
// engine behind downing.dat.
#include <cstdio>
#include <string>
#include "engine/record/TaskEntry.h"

// The engine shows no message itself: "cannot create the record file" goes
// through this hook, which the application routes to its message box.
using RecordFileReportFn = void (*)(const std::string& text);
void SetRecordFileReporter(RecordFileReportFn fn);

class CRecordFile {
 public:
  CRecordFile();
  ~CRecordFile();
  CRecordFile(const CRecordFile&) = delete;
  CRecordFile& operator=(const CRecordFile&) = delete;

  int Open(const std::string& path);
  void Close();
  void MoveFirst();
  void MoveNext();
  void Move(int n);
  bool IsEOF() const;
  bool AddNew();
  bool Update();
  bool Delete();
  int Find(const std::string& name);

  std::string m_strPath;
  FILE* m_file = nullptr;
  char m_record[301];
  int m_nCurrent = 0;
  int m_bOpen = 0;
  int m_nCount = 0;
  std::string m_strName, m_strSize, m_strDone, m_strPercent, m_strElapsed,
      m_strRemaining, m_strSpeed, m_strAddress, m_strBlocks, m_strState,
      m_strRetries;
  // Folder of the deletion scratch file "d001.tmp": the record file's own
  // folder, set by Open ("" for the current directory).
  std::string m_strTempDir;

 private:
  bool ReadRecord();
  bool WriteRecord();
};
