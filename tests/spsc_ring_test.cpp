#include "audio/spsc_ring.h"

#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <vector>

namespace corvanta {
namespace {

TEST(SpscRing, KeepsOrderAndCapacityAcrossThreads) {
  SpscRing<int, 4> ring;
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(ring.Push(i));
  EXPECT_FALSE(ring.Push(99));
  EXPECT_EQ(ring.Pop(), 0);
  EXPECT_TRUE(ring.Push(4));
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(ring.Pop(), i);
  EXPECT_EQ(ring.Pop(), std::nullopt);

  SpscRing<int, 8> shared;
  constexpr int kCount = 200'000;
  std::thread producer([&shared] {
    for (int i = 0; i < kCount;) {
      if (shared.Push(i)) ++i;
    }
  });
  std::vector<int> received;
  received.reserve(kCount);
  while (static_cast<int>(received.size()) < kCount) {
    if (auto v = shared.Pop()) received.push_back(*v);
  }
  producer.join();
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(received[static_cast<std::size_t>(i)], i);
}

}  // namespace
}  // namespace corvanta
