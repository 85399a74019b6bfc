#pragma once
// Collects what a socket reports to its listener, from any thread:
//
//   vtest::CallbackLog log;
//   CHttpSocket s(&log);
//   ... log.Has(txt::kSomething)  // UTF-8 text from res/texts
#include <mutex>
#include <string>
#include <vector>

#include "engine/Gbk.h"
#include "engine/http/SocketListener.h"

namespace vtest {

class CallbackLog : public ISocketListener {
 public:
  void OnMessage(const std::string& text, int index) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_messages.push_back(text);
    m_messageIndex.push_back(index);
  }
  void OnProgress(int received, int blockLength, int index) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_progress.push_back({received, blockLength, index});
  }
  void OnSuccess(int index) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_success.push_back(index);
  }
  void OnFailure(int index) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_failure.push_back(index);
  }
  void OnContentLength(int length) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_lengths.push_back(length);
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
  void Clear() {
    std::lock_guard<std::mutex> g(m_lock);
    m_messages.clear();
    m_messageIndex.clear();
    m_progress.clear();
    m_success.clear();
    m_failure.clear();
    m_lengths.clear();
  }

 private:
  mutable std::mutex m_lock;
  std::vector<std::string> m_messages;
  std::vector<int> m_messageIndex;
  std::vector<ProgressCall> m_progress;
  std::vector<int> m_success;
  std::vector<int> m_failure;
  std::vector<int> m_lengths;
};

}  // namespace vtest
