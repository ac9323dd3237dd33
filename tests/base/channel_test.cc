#include "base/channel.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tessaly {
namespace {

using namespace std::chrono_literals;

TEST(Channel, DeliversInSendOrder) {
  auto [tx, rx] = make_bounded_channel<int>(8);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(tx.send(i));
  for (int i = 0; i < 5; ++i) {
    auto value = rx.recv_timeout(10ms);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, i);
  }
}

TEST(Channel, TimesOutWhileSendersRemain) {
  auto [tx, rx] = make_bounded_channel<int>(1);
  const auto start = std::chrono::steady_clock::now();
  auto value = rx.recv_timeout(50ms);
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(value.has_value());
  EXPECT_EQ(value.error(), RecvError::kTimeout);
  EXPECT_GE(waited, 50ms);
  EXPECT_EQ(rx.try_recv().error(), RecvError::kTimeout);
}

TEST(Channel, LoneMessageArrivesLongBeforeTheTimeout) {
  auto [tx, rx] = make_bounded_channel<int>(10000);
  std::thread sender([tx = tx]() mutable {
    std::this_thread::sleep_for(20ms);
    tx.send(5);
  });
  const auto start = std::chrono::steady_clock::now();
  auto value = rx.recv_timeout(10s);
  const auto waited = std::chrono::steady_clock::now() - start;
  sender.join();
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, 5);
  EXPECT_LT(waited, 2s);
}

TEST(Channel, ReceiverWaitingWithoutLimitSeesTheLastSenderLeave) {
  auto [tx, rx] = make_bounded_channel<int>(4);
  std::thread sender([tx = std::move(tx)]() mutable {
    std::this_thread::sleep_for(20ms);
    tx.reset();
  });
  EXPECT_EQ(rx.recv().error(), RecvError::kDisconnected);
  sender.join();
}

TEST(Channel, BufferedMessagesOutliveTheSenders) {
  auto [tx, rx] = make_bounded_channel<std::string>(4);
  ASSERT_TRUE(tx.send("one"));
  ASSERT_TRUE(tx.send("two"));
  tx.reset();
  EXPECT_EQ(rx.recv_timeout(10ms).value(), "one");
  EXPECT_EQ(rx.recv().value(), "two");
  EXPECT_EQ(rx.recv_timeout(10ms).error(), RecvError::kDisconnected);
  EXPECT_EQ(rx.recv().error(), RecvError::kDisconnected);
  EXPECT_EQ(rx.try_recv().error(), RecvError::kDisconnected);
}

TEST(Channel, EndsOnlyWhenTheLastCopyOfTheSenderIsGone) {
  auto [tx, rx] = make_bounded_channel<int>(4);
  Sender<int> copy = tx;
  Sender<int> moved = std::move(copy);
  tx.reset();
  EXPECT_EQ(rx.recv_timeout(10ms).error(), RecvError::kTimeout);
  ASSERT_TRUE(moved.send(7));
  moved.reset();
  EXPECT_EQ(rx.recv_timeout(10ms).value(), 7);
  EXPECT_EQ(rx.recv_timeout(10ms).error(), RecvError::kDisconnected);
}

TEST(Channel, SendAfterReceiverIsGoneFailsAtOnceAndDropsTheMessage) {
  auto [tx, rx] = make_bounded_channel<std::shared_ptr<int>>(1);
  rx.reset();
  auto payload = std::make_shared<int>(3);
  std::weak_ptr<int> watch = payload;
  EXPECT_FALSE(tx.send(std::move(payload)));
  EXPECT_TRUE(watch.expired());
}

TEST(Channel, ReleasingTheReceiverDropsBufferedMessages) {
  auto [tx, rx] = make_bounded_channel<std::shared_ptr<int>>(2);
  auto payload = std::make_shared<int>(5);
  std::weak_ptr<int> watch = payload;
  ASSERT_TRUE(tx.send(std::move(payload)));
  EXPECT_FALSE(watch.expired());
  rx.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(Channel, SendBlocksWhileFull) {
  auto [tx, rx] = make_bounded_channel<int>(2);
  ASSERT_TRUE(tx.send(1));
  ASSERT_TRUE(tx.send(2));
  std::atomic<bool> third_sent{false};
  std::thread sender([&, tx = tx]() mutable {
    EXPECT_TRUE(tx.send(3));
    third_sent = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(third_sent.load());
  EXPECT_EQ(rx.recv().value(), 1);
  sender.join();
  EXPECT_TRUE(third_sent.load());
  EXPECT_EQ(rx.recv().value(), 2);
  EXPECT_EQ(rx.recv().value(), 3);
}

TEST(Channel, BlockedSendFailsWhenTheReceiverGoes) {
  auto [tx, rx] = make_bounded_channel<int>(1);
  ASSERT_TRUE(tx.send(1));
  std::atomic<int> outcome{-1};
  std::thread sender([&, tx = tx]() mutable { outcome = tx.send(2) ? 1 : 0; });
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(outcome.load(), -1);
  rx.reset();
  sender.join();
  EXPECT_EQ(outcome.load(), 0);
}

TEST(Channel, TakesEverythingBufferedAtOnceWithinTheTimeout) {
  auto [tx, rx] = make_bounded_channel<int>(8);
  std::vector<int> taken;
  EXPECT_EQ(rx.recv_all_timeout(taken, 10ms).error(), RecvError::kTimeout);
  ASSERT_TRUE(tx.send(1));
  ASSERT_TRUE(tx.send(2));
  ASSERT_TRUE(rx.recv_all_timeout(taken, 10ms));
  EXPECT_EQ(taken, (std::vector<int>{1, 2}));
  taken.clear();
  ASSERT_TRUE(tx.send(3));
  tx.reset();
  ASSERT_TRUE(rx.recv_all_timeout(taken, 10ms));
  EXPECT_EQ(taken, (std::vector<int>{3}));
  taken.clear();
  EXPECT_EQ(rx.recv_all_timeout(taken, 10ms).error(), RecvError::kDisconnected);
}

TEST(Channel, SingleTakesAndTakingEverythingKeepTheOrderAndTheBound) {
  auto [tx, rx] = make_bounded_channel<int>(4);
  for (int i = 1; i <= 3; ++i) ASSERT_TRUE(tx.send(i));
  EXPECT_EQ(rx.recv(), 1);
  ASSERT_TRUE(tx.send(4));
  ASSERT_TRUE(tx.send(5));
  EXPECT_TRUE(rx.wait_full(0ms));  // 2..5: a taken message leaves room
  EXPECT_EQ(rx.recv(), 2);
  ASSERT_TRUE(tx.send(6));
  EXPECT_TRUE(rx.wait_full(0ms));
  std::vector<int> taken;
  ASSERT_TRUE(rx.recv_all(taken));
  EXPECT_EQ(taken, (std::vector<int>{3, 4, 5, 6}));
  for (int i = 7; i <= 9; ++i) ASSERT_TRUE(tx.send(i));
  EXPECT_EQ(rx.recv(), 7);
  EXPECT_EQ(rx.recv(), 8);
  ASSERT_TRUE(tx.send(10));
  taken.clear();
  ASSERT_TRUE(rx.recv_all(taken));
  EXPECT_EQ(taken, (std::vector<int>{9, 10}));
  EXPECT_EQ(rx.try_recv().error(), RecvError::kTimeout);
}

TEST(Channel, ZeroCapacityHoldsOneMessage) {
  auto [tx, rx] = make_bounded_channel<int>(0);
  ASSERT_TRUE(tx.send(9));
  EXPECT_EQ(rx.try_recv().value(), 9);
}

TEST(Channel, ManyProducersLoseAndRepeatNothing) {
  constexpr int kProducers = 6;
  constexpr int kPerProducer = 5000;
  auto [tx, rx] = make_bounded_channel<int>(16);
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([p, tx = tx]() mutable {
      for (int i = 0; i < kPerProducer; ++i) ASSERT_TRUE(tx.send(p * kPerProducer + i));
    });
  }
  tx.reset();
  std::vector<int> last_of(kProducers, -1);
  std::vector<int> count_of(kProducers, 0);
  int total = 0;
  while (true) {
    auto value = rx.recv_timeout(1s);
    if (!value) {
      ASSERT_EQ(value.error(), RecvError::kDisconnected);
      break;
    }
    const int producer = *value / kPerProducer;
    // Each producer's messages arrive in its own order.
    EXPECT_GT(*value, last_of[producer]);
    last_of[producer] = *value;
    ++count_of[producer];
    ++total;
  }
  for (std::thread& producer : producers) producer.join();
  EXPECT_EQ(total, kProducers * kPerProducer);
  for (int p = 0; p < kProducers; ++p) EXPECT_EQ(count_of[p], kPerProducer);
}

TEST(Channel, ReceiverLeavingMidStreamReleasesEveryProducer) {
  auto [tx, rx] = make_bounded_channel<int>(4);
  std::atomic<int> failed_sends{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&, tx = tx]() mutable {
      for (int i = 0; i < 1000; ++i) {
        if (!tx.send(i)) {
          failed_sends.fetch_add(1);
          return;
        }
      }
    });
  }
  tx.reset();
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(rx.recv_timeout(1s).has_value());
  rx.reset();
  for (std::thread& producer : producers) producer.join();
  EXPECT_EQ(failed_sends.load(), 4);
}

}  // namespace
}  // namespace tessaly
