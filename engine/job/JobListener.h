#pragma once
// What a job tells its owner. Start and the preparation call it on the
// owner's thread, the blocks on their own threads, several at once: an
// owner takes its own locks. After OnSuccess or OnFailure the job touches
// nothing of its owner again, so the owner may end the job inside them.
#include <string>

class IJobListener {
 public:
  virtual ~IJobListener() = default;
  // The file is complete under the job's file name.
  virtual void OnSuccess() = 0;
  virtual void OnFailure() = 0;
  // The length the server reported, or a length learnt at the end.
  virtual void OnContentLength(int length) = 0;
  // Block blockIndex holds received bytes in its block file.
  virtual void OnProgress(int received, int blockLength, int blockIndex) = 0;
  // A status or error text (GBK): index is the block, -1 for the job's own.
  virtual void OnMessage(const std::string& text, int index) = 0;
};
