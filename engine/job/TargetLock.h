#pragma once
// An advisory lock on "<target file name>.lock" in the temporary directory.
// Every copy of the program the user runs shares that directory, and block
// files are named after the target's file name only: whoever holds the
// lock owns "<name>-<k>.hpt" and "<name>.hpt" until it lets go.
//
// Whoever lets go removes the lock file while still holding it, and a
// remover (TryLock, then UnlinkLocked) may delete it too; whoever was
// waiting on the old file notices (the name no longer names the file it
// locked) and takes a new one, so the name never has two owners.
#include <functional>
#include <mutex>
#include <string>

class CTargetLock {
 public:
  enum class Result { kLocked, kBusy, kError };

  explicit CTargetLock(std::string path = {});
  ~CTargetLock();  // lets go
  CTargetLock(const CTargetLock&) = delete;
  CTargetLock& operator=(const CTargetLock&) = delete;

  // GetTempDirectory() + LockName(file name of target).
  static std::string PathFor(const std::string& target);
  // The lock's own file name for a target's file name, for whoever lists or
  // takes locks in a temp folder of their choosing.
  static std::string LockName(const std::string& targetName);

  void SetPath(const std::string& path);  // only while not held
  // Takes the lock without waiting. On kError errno tells why.
  Result TryLock();
  // Takes the lock, waiting while another holder has it: onWait runs once
  // when the wait begins, stopped is asked every few milliseconds. False
  // when stopped or on an error (errno tells why; 0 when stopped).
  bool Lock(const std::function<bool()>& stopped, const std::function<void()>& onWait);
  // Deletes the lock file; only while held.
  void UnlinkLocked();
  void Unlock();
  bool Held() const;

 private:
  mutable std::mutex m_lock;  // m_fd and m_path: the merge thread and Stop may both let go
  std::string m_path;
  int m_fd = -1;
};
