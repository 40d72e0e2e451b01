#include "platform/foundation/Fifo.h"

#include <memory>
#include <vector>

#include <gtest/gtest.h>

using platform::Fifo;

TEST(Fifo, KeepsOrderAcrossPushesAndPopsAndSwaps) {
  Fifo<int> fifo;
  EXPECT_TRUE(fifo.empty());
  std::vector<int> out;
  int next = 0;
  // Uneven pushes and pops, so the front is taken while the back grows.
  for (int round = 0; round < 50; ++round) {
    for (int i = 0; i < round % 7 + 1; ++i) fifo.push_back(next++);
    for (int i = 0; i < round % 5 && !fifo.empty(); ++i) {
      out.push_back(fifo.front());
      fifo.pop_front();
    }
  }
  Fifo<int> other;
  other.swap(fifo);
  EXPECT_TRUE(fifo.empty());
  EXPECT_EQ(static_cast<size_t>(next) - out.size(), other.size());
  for (int value : other) out.push_back(value);
  std::vector<int> expected(static_cast<size_t>(next));
  for (int i = 0; i < next; ++i) expected[static_cast<size_t>(i)] = i;
  EXPECT_EQ(out, expected);
  other.clear();
  EXPECT_TRUE(other.empty());
}

TEST(Fifo, ATakenItemIsReleasedAtOnceAndAStreamThatNeverEmptiesStaysBounded) {
  Fifo<std::shared_ptr<int>> fifo;
  auto first = std::make_shared<int>(1);
  std::weak_ptr<int> watch = first;
  fifo.push_back(std::move(first));
  fifo.push_back(std::make_shared<int>(2));
  fifo.pop_front();
  EXPECT_TRUE(watch.expired());
  // One in, one out, never empty: the storage given back keeps it small.
  std::weak_ptr<int> old;
  for (int i = 0; i < 100000; ++i) {
    fifo.push_back(std::make_shared<int>(i));
    if (i == 10) old = fifo.front();
    fifo.pop_front();
  }
  EXPECT_EQ(fifo.size(), 1u);
  EXPECT_TRUE(old.expired());
}
