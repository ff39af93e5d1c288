#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Comm/QTextQ.h"
#include "support/TraceCapture.h"

namespace {

std::vector<std::string> DrainTexts(CQTextQ& q) {
  std::vector<std::string> out;
  CQTextEntry e;
  while (q.Get(e)) out.push_back(e.m_strText);
  return out;
}

TEST(QTextQ, HoldsOneLessThanItsSlots) {
  CTraceCapture trace;
  CQTextQ q;
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(q.Put(i % 5, std::to_string(i))) << i;
  EXPECT_TRUE(q.IsFull());
  EXPECT_FALSE(q.Put(1, "101st"));
  EXPECT_NE(trace.Text().find("TEXT QUEUE FULL\n"), std::string::npos);
  auto texts = DrainTexts(q);
  ASSERT_EQ(texts.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(texts[i], std::to_string(i));
  EXPECT_TRUE(q.IsEmpty());
}

TEST(QTextQ, OrderSurvivesWrapping) {
  CQTextQ q;
  CQTextEntry e;
  for (int i = 0; i < 150; ++i) {
    ASSERT_TRUE(q.Put(4, "t" + std::to_string(i)));
    if (i % 2) {
      ASSERT_TRUE(q.Get(e));
    }
  }
  // 75 were taken in order; the 75 left follow on from t75.
  auto texts = DrainTexts(q);
  ASSERT_EQ(texts.size(), 75u);
  for (int i = 0; i < 75; ++i) EXPECT_EQ(texts[i], "t" + std::to_string(75 + i));
}

TEST(QTextQ, GetAndPeekOnEmptyLeaveTheDestination) {
  CQTextQ q;
  CQTextEntry e(9, "keep");
  EXPECT_FALSE(q.Get(e));
  EXPECT_FALSE(q.Peek(e));
  EXPECT_EQ(e.m_nKind, 9);
  EXPECT_EQ(e.m_strText, "keep");

  q.Put(CQTextEntry(3, "red"));
  EXPECT_TRUE(q.Peek(e));
  EXPECT_TRUE(q.Peek(e));
  EXPECT_EQ(e.m_strText, "red");
  EXPECT_TRUE(q.Get(e));
  EXPECT_EQ(e.m_nKind, 3);
  EXPECT_TRUE(q.IsEmpty());
}

TEST(QTextQ, SizedConstructionIsClamped) {
  struct {
    int32_t n;
    int holds;
  } cases[] = {{0, 1}, {-5, 1}, {1, 1}, {2, 2}, {250, 100}};
  for (const auto& c : cases) {
    CQTextQ q(c.n);
    int stored = 0;
    while (q.Put(1, "x")) ++stored;
    EXPECT_EQ(stored, c.holds) << c.n;
  }
}

TEST(QTextQ, ResetEmptiesAndClearsSlots) {
  CQTextQ q;
  q.Put(1, "a");
  q.Put(1, "b");
  q.Put(1, "c");
  q.Reset();
  EXPECT_TRUE(q.IsEmpty());
  CQTextEntry e;
  EXPECT_FALSE(q.Get(e));
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(q.Put(1, "y"));
}

TEST(QTextQ, TwoProducersAtOnceLoseAndReorderNothing) {
  CQTextQ q;
  constexpr int kEach = 5000;
  std::vector<std::string> taken;
  std::atomic<int> producersDone{0};
  auto produce = [&](const std::string& who) {
    for (int i = 0; i < kEach;) {
      if (q.Put(1, who + std::to_string(i))) ++i;
      else std::this_thread::yield();
    }
    ++producersDone;
  };
  std::thread a(produce, "a"), b(produce, "b");
  CQTextEntry e;
  while (producersDone < 2) {
    if (q.Get(e)) taken.push_back(e.m_strText);
  }
  a.join();
  b.join();
  while (q.Get(e)) taken.push_back(e.m_strText);
  ASSERT_EQ(taken.size(), 2u * kEach);
  int nextA = 0, nextB = 0;
  for (const auto& t : taken) {
    int& next = t[0] == 'a' ? nextA : nextB;
    EXPECT_EQ(std::stoi(t.substr(1)), next);
    ++next;
  }
}

}  // namespace
