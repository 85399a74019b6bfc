#pragma once
// One file over HTTP in N parallel byte ranges, one thread per block, joined
// into the target by the thread of the last block to finish.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include "engine/Callbacks.h"
#include "engine/HttpSocket.h"

class CBlockDownloader {
 public:
  explicit CBlockDownloader(void* owner);
  ~CBlockDownloader();  // the owner calls Stop first
  CBlockDownloader(const CBlockDownloader&) = delete;
  CBlockDownloader& operator=(const CBlockDownloader&) = delete;

  // Runs on the owner's thread: plans the blocks and starts their threads.
  // Every result arrives later through the callbacks.
  static void Start(CBlockDownloader* job);
  // Stops every block (sockets shut down, threads joined; the calling block
  // thread, when Stop runs on one, is left to return by itself).
  void Stop();

  void* m_pUserData = nullptr;
  int m_nBlocks = 4;
  unsigned char m_bResume = 0;
  std::string m_strURL;
  std::string m_strFileName;
  JobCallback OnSuccess = nullptr;
  JobCallback OnFailure = nullptr;
  ContentLengthCallback OnContentLength = nullptr;
  ProgressCallback OnProgress = nullptr;
  MessageCallback OnMessage = nullptr;

  std::vector<std::thread> m_pThreads;
  std::vector<CHttpSocket*> m_pBlocks;
  std::vector<std::string> m_pstrTempFiles;
  std::vector<unsigned char> m_pbDone;
  unsigned char m_bPrepared = 0;
  FILE* m_fileTarget = nullptr;
  FILE* m_fileBlock = nullptr;

  // Internal steps, public so tests can reach them.
  void Prepare();
  void AllocateBlocks();
  CHttpSocket* CreateBlock();
  void OnBlockDone(int index);
  void MergeBlocks();
  void OnBlockFailed();
};

// The named mutex "http-get-thread-mutex": one for every job in the process.
std::mutex& HttpGetThreadMutex();
