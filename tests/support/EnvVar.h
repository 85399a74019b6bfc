#pragma once
// Sets (or, with nullopt, unsets) one environment variable for a scope and
// puts back what was there.
#include <cstdlib>
#include <optional>
#include <string>

namespace vtest {

class EnvVar {
 public:
  EnvVar(const char* name, const std::optional<std::string>& value) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old;
    if (value) setenv(name, value->c_str(), 1);
    else unsetenv(name);
  }
  ~EnvVar() {
    if (m_old) setenv(m_name, m_old->c_str(), 1);
    else unsetenv(m_name);
  }
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

 private:
  const char* m_name;
  std::optional<std::string> m_old;
};

}  // namespace vtest
