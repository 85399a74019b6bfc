#pragma once
// Collects what an engine object reports through its callbacks, from any
// thread. Pass the log as the user-data pointer and its static functions as
// the callbacks:
//
//   vtest::CallbackLog log;
//   CHttpSocket s(&log);
//   log.Attach(s);            // or set OnMessage = vtest::CallbackLog::Message, ...
//   ... log.Has(txt::kSomething)  // UTF-8 text from res/texts
#include <mutex>
#include <string>
#include <vector>

#include "engine/Gbk.h"

namespace vtest {

class CallbackLog {
 public:
  static void Message(void* u, const std::string& text, int index) {
    auto* l = static_cast<CallbackLog*>(u);
    std::lock_guard<std::mutex> g(l->m_lock);
    l->m_messages.push_back(text);
    l->m_messageIndex.push_back(index);
  }
  static void Progress(void* u, int received, int blockLength, int index) {
    auto* l = static_cast<CallbackLog*>(u);
    std::lock_guard<std::mutex> g(l->m_lock);
    l->m_progress.push_back({received, blockLength, index});
  }
  static void Success(void* u, int index) {
    auto* l = static_cast<CallbackLog*>(u);
    std::lock_guard<std::mutex> g(l->m_lock);
    l->m_success.push_back(index);
  }
  static void Failure(void* u, int index) {
    auto* l = static_cast<CallbackLog*>(u);
    std::lock_guard<std::mutex> g(l->m_lock);
    l->m_failure.push_back(index);
  }
  static void Length(void* u, int length) {
    auto* l = static_cast<CallbackLog*>(u);
    std::lock_guard<std::mutex> g(l->m_lock);
    l->m_lengths.push_back(length);
  }
  static void Done(void* u) {
    auto* l = static_cast<CallbackLog*>(u);
    std::lock_guard<std::mutex> g(l->m_lock);
    ++l->m_done;
  }

  // Works for any object with the five engine callback fields.
  template <class T>
  void Attach(T& s) {
    s.OnMessage = &Message;
    s.OnProgress = &Progress;
    s.OnSuccess = &Success;
    s.OnFailure = &Failure;
    s.OnContentLength = &Length;
  }

  struct ProgressCall {
    int received, blockLength, index;
  };

  // True when a message equals the UTF-8 text (after conversion to GBK).
  bool Has(const char* utf8) const {
    std::string gbk = Utf8ToGbk(utf8);
    std::lock_guard<std::mutex> g(m_lock);
    for (auto& m : m_messages)
      if (m == gbk) return true;
    return false;
  }
  // All messages in UTF-8, one a line, for failure output.
  std::string Dump() const {
    std::lock_guard<std::mutex> g(m_lock);
    std::string out;
    for (auto& m : m_messages) out += GbkToUtf8(m) + "\n";
    return out;
  }
  std::vector<std::string> Messages() const { std::lock_guard<std::mutex> g(m_lock); return m_messages; }
  std::vector<ProgressCall> ProgressCalls() const { std::lock_guard<std::mutex> g(m_lock); return m_progress; }
  std::vector<int> Successes() const { std::lock_guard<std::mutex> g(m_lock); return m_success; }
  std::vector<int> Failures() const { std::lock_guard<std::mutex> g(m_lock); return m_failure; }
  std::vector<int> Lengths() const { std::lock_guard<std::mutex> g(m_lock); return m_lengths; }
  int DoneCount() const { std::lock_guard<std::mutex> g(m_lock); return m_done; }
  void Clear() {
    std::lock_guard<std::mutex> g(m_lock);
    m_messages.clear();
    m_messageIndex.clear();
    m_progress.clear();
    m_success.clear();
    m_failure.clear();
    m_lengths.clear();
    m_done = 0;
  }

 private:
  mutable std::mutex m_lock;
  std::vector<std::string> m_messages;
  std::vector<int> m_messageIndex;
  std::vector<ProgressCall> m_progress;
  std::vector<int> m_success;
  std::vector<int> m_failure;
  std::vector<int> m_lengths;
  int m_done = 0;
};

}  // namespace vtest
