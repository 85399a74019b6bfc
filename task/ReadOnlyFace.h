#pragma once
// Read-only views that keep a documented member name in place while the
// value itself lives in a collaborator: `task.m_nElapsed` still reads the
// elapsed seconds, but nobody can write past the class that owns them.
#include <functional>
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

// The indexed kind: `face[i]`.
template <typename T>
class ReadOnlyColumn {
 public:
  explicit ReadOnlyColumn(std::function<T(int)> get) : m_get(std::move(get)) {}
  ReadOnlyColumn(const ReadOnlyColumn&) = delete;
  ReadOnlyColumn& operator=(const ReadOnlyColumn&) = delete;
  T operator[](int i) const { return m_get(i); }

 private:
  std::function<T(int)> m_get;
};
