#pragma once
// One block's run over its socket: attempts at the byte range until the
// block file holds it or the attempt budget is spent, each attempt's reply
// checked, its body read and gathered into the block file. Other threads
// move the block's end down (a split) and drop a quiet attempt (a kick).
#include <atomic>
#include <mutex>

#include "engine/http/BlockFileWriter.h"
#include "engine/http/Reply.h"

class CHttpSocket;

class BlockTransfer {
 public:
  explicit BlockTransfer(CHttpSocket& socket) : m_s(socket) {}
  BlockTransfer(const BlockTransfer&) = delete;
  BlockTransfer& operator=(const BlockTransfer&) = delete;

  // The block thread's body (CHttpSocket::Run).
  void Run();
  // One attempt's request, or the job's first reply held for it.
  bool ConnectAndRequest();
  // Opens the block file; returns the bytes it already holds.
  int OpenTempFile();
  // Reads the checked reply's body into the block file.
  bool ReceiveBody();
  void CloseFile();

  // Any thread: see CHttpSocket::CutTo and Received.
  int CutTo(int length);
  int Received() const;
  // Any thread: the next attempt is one a kick asked for.
  void NoteKick();
  bool Kicked() const { return m_bKicked; }
  long long ActivityMs() const { return m_nActivityMs; }
  long long AskedMs() const { return m_nAskedMs; }
  long long FirstByteMs() const { return m_nFirstByteMs; }

 private:
  bool CheckReply();
  bool FlushAndReport(long long received);
  void NoteWriteError(int err);
  // Clips a received piece to the block's (possibly moved) end and makes
  // the new count visible to CutTo; returns the bytes to keep.
  int TakeChunk(int received, int n);
  void ApplyCut();

  CHttpSocket& m_s;
  BlockFileWriter m_file;
  long long m_nRequestStart = 0;  // first byte the last request asked for
  BodyFraming m_framing;          // of the last reply, set by CheckReply
  bool m_bSniff = false;          // the body starts at the file's first byte
  bool m_bTextLabel = false;      // labelled text: only an audio signature passes
  long long m_nLastFlushMs = 0;
  bool m_bOpened = false;         // the run has opened its block file once
  bool m_bBadReply = false;       // the last body broke its framing or was a page
  long long m_nAttemptBytes = 0;  // what the last attempt added to the block file

  // Guards m_nCutLength, m_nShared and every write of the block's length
  // once the block runs; the block thread reads the length without it.
  mutable std::mutex m_cutLock;
  int m_nCutLength = -1;  // -1: not moved
  int m_nShared = -1;
  std::atomic<long long> m_nActivityMs{0};
  std::atomic<long long> m_nAskedMs{-1};
  std::atomic<long long> m_nFirstByteMs{-1};
  std::atomic<bool> m_bKicked{false};
};
