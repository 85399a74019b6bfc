#pragma once
// Splits one fuzz input into several fields, so a harness can drive a
// function that takes more than one text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size)
      : m_rest(reinterpret_cast<const char*>(data), size) {}
  // Up to the next NUL byte (or the end).
  std::string Next() {
    const size_t nul = m_rest.find('\0');
    std::string out(m_rest.substr(0, nul));
    m_rest = nul == std::string_view::npos ? std::string_view() : m_rest.substr(nul + 1);
    return out;
  }
  uint8_t Byte() {
    if (m_rest.empty()) return 0;
    const uint8_t b = static_cast<uint8_t>(m_rest[0]);
    m_rest.remove_prefix(1);
    return b;
  }
  std::string_view Rest() const { return m_rest; }

 private:
  std::string_view m_rest;
};
