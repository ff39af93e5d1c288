#include "platform/ParmrkDecoder.h"

namespace {
constexpr uint8_t kMark = 0xFF;
}

void CParmrkDecoder::Decode(std::span<const uint8_t> in, std::vector<uint8_t>& out) {
  for (uint8_t b : in) {
    switch (m_state) {
      case State::Data:
        if (b == kMark) {
          m_state = State::Mark;
        } else {
          out.push_back(b);
        }
        break;
      case State::Mark:
        if (b == kMark) {
          out.push_back(kMark);
          m_state = State::Data;
        } else if (b == 0) {
          m_state = State::MarkZero;
        } else {
          // An FF the line discipline did not mark: it was queued before marking was on.
          // Both bytes are plain data.
          out.push_back(kMark);
          out.push_back(b);
          m_state = State::Data;
        }
        break;
      case State::MarkZero:
        if (b == 0) {
          ++m_marks.breaks;
        } else {
          ++m_marks.errors;
        }
        m_state = State::Data;
        break;
    }
  }
}

CParmrkDecoder::Marks CParmrkDecoder::TakeMarks() {
  Marks marks = m_marks;
  m_marks = {};
  return marks;
}

void CParmrkDecoder::Reset() {
  m_state = State::Data;
  m_marks = {};
}
