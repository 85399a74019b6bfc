#pragma once
// A small reader for the JSON replies of music servers. It keeps what a
// reply says and nothing more: no writing, numbers kept as their text.
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

class CJsonValue {
 public:
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };

  // False for anything that is not exactly one JSON value (blanks around it
  // allowed), and for nesting deeper than kMaxDepth: a hostile reply must
  // not run the reader out of stack.
  // More than kMaxValues values is refused too: a reply of a million tiny
  // values would take far more memory than its text.
  enum class Error { kNone, kSyntax, kTooDeep, kTooMany };
  static bool Parse(const std::string& text, CJsonValue& out, Error* why = nullptr);
  static constexpr int kMaxDepth = 64;
  static constexpr size_t kMaxValues = 100000;

  Kind GetKind() const { return m_kind; }
  bool IsObject() const { return m_kind == Kind::kObject; }
  bool IsArray() const { return m_kind == Kind::kArray; }
  // The member named key of an object; nullptr when absent or not an object.
  const CJsonValue* Find(const std::string& key) const;
  // Moves the member named key out of an object (a null stays behind);
  // a null value when there is none.
  CJsonValue TakeMember(const std::string& key);
  // Text of a string (UTF-8) or of a number as written; empty otherwise.
  std::string Text() const;
  // Array items; a single non-array value stands for a list of one, as
  // some servers send a lone item without its array.
  std::vector<const CJsonValue*> Items() const;

 private:
  friend class CJsonParser;
  Kind m_kind = Kind::kNull;
  bool m_bool = false;
  std::string m_text;
  std::vector<CJsonValue> m_items;
  std::vector<std::pair<std::string, CJsonValue>> m_members;
};
