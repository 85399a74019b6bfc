#include "task/JsonValue.h"

#include <cstdint>

// Recursive descent over the text; every step checks the end first.
class CJsonParser {
 public:
  explicit CJsonParser(const std::string& text) : m_s(text) {}

  bool ParseDocument(CJsonValue& out) {
    SkipBlanks();
    if (!ParseValue(out, 0)) return false;
    SkipBlanks();
    return m_pos == m_s.size();
  }

  CJsonValue::Error Why() const { return m_error; }

 private:
  void SkipBlanks() {
    while (m_pos < m_s.size() &&
           (m_s[m_pos] == ' ' || m_s[m_pos] == '\t' || m_s[m_pos] == '\r' || m_s[m_pos] == '\n'))
      ++m_pos;
  }

  bool Literal(const char* word) {
    size_t i = 0;
    for (; word[i]; ++i)
      if (m_pos + i >= m_s.size() || m_s[m_pos + i] != word[i]) return false;
    m_pos += i;
    return true;
  }

  bool ParseValue(CJsonValue& v, int depth) {
    if (depth > CJsonValue::kMaxDepth) {
      m_error = CJsonValue::Error::kTooDeep;
      return false;
    }
    if (++m_nValues > CJsonValue::kMaxValues) {
      m_error = CJsonValue::Error::kTooMany;
      return false;
    }
    if (m_pos >= m_s.size()) return false;
    const char c = m_s[m_pos];
    if (c == '{') return ParseObject(v, depth);
    if (c == '[') return ParseArray(v, depth);
    if (c == '"') {
      v.m_kind = CJsonValue::Kind::kString;
      return ParseString(v.m_text);
    }
    if (c == 't' || c == 'f') {
      v.m_kind = CJsonValue::Kind::kBool;
      v.m_bool = c == 't';
      return Literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') {
      v.m_kind = CJsonValue::Kind::kNull;
      return Literal("null");
    }
    return ParseNumber(v);
  }

  bool ParseObject(CJsonValue& v, int depth) {
    v.m_kind = CJsonValue::Kind::kObject;
    ++m_pos;
    SkipBlanks();
    if (m_pos < m_s.size() && m_s[m_pos] == '}') {
      ++m_pos;
      return true;
    }
    for (;;) {
      SkipBlanks();
      std::string key;
      if (m_pos >= m_s.size() || m_s[m_pos] != '"' || !ParseString(key)) return false;
      SkipBlanks();
      if (m_pos >= m_s.size() || m_s[m_pos] != ':') return false;
      ++m_pos;
      SkipBlanks();
      CJsonValue member;
      if (!ParseValue(member, depth + 1)) return false;
      v.m_members.emplace_back(std::move(key), std::move(member));
      SkipBlanks();
      if (m_pos >= m_s.size()) return false;
      if (m_s[m_pos] == '}') {
        ++m_pos;
        return true;
      }
      if (m_s[m_pos] != ',') return false;
      ++m_pos;
    }
  }

  bool ParseArray(CJsonValue& v, int depth) {
    v.m_kind = CJsonValue::Kind::kArray;
    ++m_pos;
    SkipBlanks();
    if (m_pos < m_s.size() && m_s[m_pos] == ']') {
      ++m_pos;
      return true;
    }
    for (;;) {
      SkipBlanks();
      CJsonValue item;
      if (!ParseValue(item, depth + 1)) return false;
      v.m_items.push_back(std::move(item));
      SkipBlanks();
      if (m_pos >= m_s.size()) return false;
      if (m_s[m_pos] == ']') {
        ++m_pos;
        return true;
      }
      if (m_s[m_pos] != ',') return false;
      ++m_pos;
    }
  }

  bool ParseNumber(CJsonValue& v) {
    const size_t start = m_pos;
    auto digits = [&] {
      const size_t from = m_pos;
      while (m_pos < m_s.size() && m_s[m_pos] >= '0' && m_s[m_pos] <= '9') ++m_pos;
      return m_pos > from;
    };
    if (m_pos < m_s.size() && m_s[m_pos] == '-') ++m_pos;
    if (!digits()) return false;
    if (m_pos < m_s.size() && m_s[m_pos] == '.') {
      ++m_pos;
      if (!digits()) return false;
    }
    if (m_pos < m_s.size() && (m_s[m_pos] == 'e' || m_s[m_pos] == 'E')) {
      ++m_pos;
      if (m_pos < m_s.size() && (m_s[m_pos] == '+' || m_s[m_pos] == '-')) ++m_pos;
      if (!digits()) return false;
    }
    v.m_kind = CJsonValue::Kind::kNumber;
    v.m_text = m_s.substr(start, m_pos - start);
    return true;
  }

  bool Hex4(uint32_t& out) {
    if (m_s.size() - m_pos < 4) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = m_s[m_pos++];
      out <<= 4;
      if (c >= '0' && c <= '9') out |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') out |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') out |= static_cast<uint32_t>(c - 'A' + 10);
      else return false;
    }
    return true;
  }

  static void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool ParseString(std::string& out) {
    ++m_pos;  // the opening quote
    while (m_pos < m_s.size()) {
      const char c = m_s[m_pos++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (m_pos >= m_s.size()) return false;
      const char e = m_s[m_pos++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t cp;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00) {
            // A high surrogate counts only with its low half right after it.
            uint32_t low = 0;
            const size_t save = m_pos;
            if (m_s.compare(m_pos, 2, "\\u") == 0 && (m_pos += 2, Hex4(low)) && low >= 0xDC00 &&
                low < 0xE000) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            } else {
              m_pos = save;
              cp = 0xFFFD;
            }
          } else if (cp >= 0xDC00 && cp < 0xE000) {
            cp = 0xFFFD;
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  const std::string& m_s;
  size_t m_pos = 0;
  size_t m_nValues = 0;
  CJsonValue::Error m_error = CJsonValue::Error::kSyntax;
};

bool CJsonValue::Parse(const std::string& text, CJsonValue& out, Error* why) {
  CJsonValue v;
  CJsonParser parser(text);
  const bool ok = parser.ParseDocument(v);
  if (why) *why = ok ? Error::kNone : parser.Why();
  if (!ok) return false;
  out = std::move(v);
  return true;
}

CJsonValue CJsonValue::TakeMember(const std::string& key) {
  for (auto& m : m_members)
    if (m.first == key) {
      CJsonValue out = std::move(m.second);
      m.second = CJsonValue();
      return out;
    }
  return CJsonValue();
}

const CJsonValue* CJsonValue::Find(const std::string& key) const {
  for (const auto& m : m_members)
    if (m.first == key) return &m.second;
  return nullptr;
}

std::string CJsonValue::Text() const {
  return m_kind == Kind::kString || m_kind == Kind::kNumber ? m_text : std::string();
}

std::vector<const CJsonValue*> CJsonValue::Items() const {
  std::vector<const CJsonValue*> out;
  if (m_kind == Kind::kArray) {
    for (const CJsonValue& v : m_items) out.push_back(&v);
  } else if (m_kind != Kind::kNull) {
    out.push_back(this);
  }
  return out;
}
