#pragma once
// What a connection tells its owner (a job, a probing task, a test), on
// the connection's own thread. Each report does nothing unless the owner
// wants it, so a probe listens only to texts.
#include <string>

class ISocketListener {
 public:
  virtual ~ISocketListener() = default;
  // The length the server reported for the file.
  virtual void OnContentLength(int /*length*/) {}
  // The block file holds `received` bytes of the block (earlier attempts'
  // bytes included), reported after they are written.
  virtual void OnProgress(int /*received*/, int /*blockLength*/, int /*index*/) {}
  // Once, when the block is complete.
  virtual void OnSuccess(int /*index*/) {}
  // A status or error text (GBK) of block `index`.
  virtual void OnMessage(const std::string& /*text*/, int /*index*/) {}
  // Once, when every attempt has failed.
  virtual void OnFailure(int /*index*/) {}
};
