#pragma once
// Bounded, thread-safe FIFO of log texts tagged with a kind. Producers on any thread put; only the
// window takes, one entry per WM_LOG_TEXT.
#include <array>
#include <cstdint>
#include <mutex>
#include <string>

class CQTextEntry {
 public:
  CQTextEntry() = default;
  CQTextEntry(int32_t kind, std::string text) : m_nKind(kind), m_strText(std::move(text)) {}
  void Clear() {
    m_nKind = 0;
    m_strText.clear();
    m_strText.shrink_to_fit();
  }

  int32_t m_nKind = 0;
  std::string m_strText;
};

class CQTextQ {
 public:
  static constexpr int32_t kSlots = 101;

  CQTextQ();
  // Holds n entries, n clamped into 1..100.
  explicit CQTextQ(int32_t n);
  CQTextQ(const CQTextQ&) = delete;
  CQTextQ& operator=(const CQTextQ&) = delete;

  bool Put(int32_t kind, const std::string& text);
  bool Put(const CQTextEntry& entry);
  bool Get(CQTextEntry& dst);
  bool Peek(CQTextEntry& dst);
  // Unlocked: meant for callers that hold the lock or have the queue to themselves.
  bool IsEmpty() const;
  bool IsFull() const;
  void Reset();

 private:
  int32_t Next(int32_t index) const { return index + 1 >= m_nSize ? 0 : index + 1; }

  int32_t m_nHead = 0;
  int32_t m_nTail = 0;
  int32_t m_nSize = kSlots;
  std::array<CQTextEntry, kSlots> m_Entries;
  mutable std::mutex m_cs;
};
