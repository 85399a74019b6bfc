#pragma once
// Read-only views that keep a documented member name in place while the
// value itself lives in a collaborator: `task.m_nElapsed` still reads the
// elapsed seconds, but nobody can write past the class that owns them.
#include <functional>
#include <type_traits>
#include <utility>

template <typename T>
class ReadOnlyFace {
 public:
  explicit ReadOnlyFace(std::function<T()> get) : m_get(std::move(get)) {}
  ReadOnlyFace(const ReadOnlyFace&) = delete;
  ReadOnlyFace& operator=(const ReadOnlyFace&) = delete;
  operator T() const { return m_get(); }
  T operator()() const { return m_get(); }

 private:
  std::function<T()> m_get;
};

// The indexed kind: `face[i]`. A const copy, so that `face[i] = x`, which
// could change nothing, does not compile either.
template <typename T>
class ReadOnlyColumn {
 public:
  using Value = std::conditional_t<std::is_class_v<T>, const T, T>;
  explicit ReadOnlyColumn(std::function<T(int)> get) : m_get(std::move(get)) {}
  ReadOnlyColumn(const ReadOnlyColumn&) = delete;
  ReadOnlyColumn& operator=(const ReadOnlyColumn&) = delete;
  Value operator[](int i) const { return m_get(i); }

 private:
  std::function<T(int)> m_get;
};
