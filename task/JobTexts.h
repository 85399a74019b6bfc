#pragma once
// The last texts a job reported, kept to say why its download failed: its
// last word, and the last one that named a cause (the host that did not
// resolve, the refused certificate, ...). Block threads keep, the retry
// worker takes; its lock is a leaf.
#include <mutex>
#include <string>

class CJobTexts {
 public:
  void Keep(const std::string& text);
  // A new job: nothing said yet.
  void Forget();
  // The cause when one was named, else the last word; the cause is used up.
  std::string TakeFailureText();

 private:
  std::mutex m_lock;
  std::string m_strLast;
  std::string m_strCause;
};
