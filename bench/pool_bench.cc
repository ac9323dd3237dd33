// Costs of the worker pool's job scopes and of the bounded channel, per job
// and per message, for judging them against the per-directory work they carry
// (a directory costs at least a few microseconds of system calls).
#include <atomic>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "base/channel.h"
#include "base/worker_pool.h"

namespace {

void BM_SpawnAndWait(benchmark::State& state) {
  tessaly::WorkerPool& pool = tessaly::worker_pool();
  const auto jobs = state.range(0);
  std::atomic<std::int64_t> ran{0};
  for (auto _ : state) {
    tessaly::JobScope scope(pool);
    for (std::int64_t i = 0; i < jobs; ++i) {
      scope.spawn([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
    }
    scope.wait();
  }
  state.SetItemsProcessed(state.iterations() * jobs);
}
BENCHMARK(BM_SpawnAndWait)->Arg(1000)->Arg(100000)->UseRealTime();

void spawn_tree(tessaly::JobScope& scope, int depth, std::atomic<std::int64_t>& ran) {
  ran.fetch_add(1, std::memory_order_relaxed);
  if (depth == 0) return;
  for (int i = 0; i < 4; ++i)
    scope.spawn([&scope, depth, &ran] { spawn_tree(scope, depth - 1, ran); });
}

// Jobs spawning jobs, as directory jobs do.
void BM_NestedSpawn(benchmark::State& state) {
  std::atomic<std::int64_t> ran{0};
  for (auto _ : state) {
    tessaly::JobScope scope;
    scope.spawn([&] { spawn_tree(scope, 7, ran); });
    scope.wait();
  }
  state.SetItemsProcessed(ran.load());
}
BENCHMARK(BM_NestedSpawn)->UseRealTime();

void BM_ChannelManyProducers(benchmark::State& state) {
  const int producers = static_cast<int>(state.range(0));
  constexpr int kPerProducer = 20000;
  for (auto _ : state) {
    auto [tx, rx] = tessaly::make_bounded_channel<std::int64_t>(10000);
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
      threads.emplace_back([tx = tx]() mutable {
        for (int i = 0; i < kPerProducer; ++i) tx.send(i);
      });
    }
    tx.reset();
    std::int64_t sum = 0;
    while (auto value = rx.recv_timeout(std::chrono::milliseconds(200))) sum += *value;
    for (std::thread& thread : threads) thread.join();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * producers * kPerProducer);
}
BENCHMARK(BM_ChannelManyProducers)->Arg(1)->Arg(4)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
