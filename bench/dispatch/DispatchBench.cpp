// Costs of the dispatch layer, each beside a baseline measured in the same
// run: blocks through a serial queue against direct calls, queue hops against
// a bare two-thread hand-off, main-loop hops, and timer lateness against
// sleeping to the same deadline.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "dispatch/DispatchQueue.h"
#include "dispatch/DispatchSemaphore.h"
#include "dispatch/DispatchSource.h"
#include "dispatch/MainLoop.h"
#include "dispatch/Time.h"

namespace {

using dispatch::DispatchQueue;
using dispatch::DispatchSemaphore;
using dispatch::DispatchTime;
using dispatch::DispatchTimeInterval;

uint64_t nowNanos() { return DispatchTime::now().uptimeNanoseconds(); }

// Reports the median and the 99th percentile of `samples` (nanoseconds) in
// microseconds.
void reportPercentiles(benchmark::State& state, std::vector<uint64_t>& samples) {
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    const auto index = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1));
    return static_cast<double>(samples[index]) / 1000.0;
  };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
  state.counters["samples"] = static_cast<double>(samples.size());
}

// Throughput: blocks posted from one thread through a serial queue.

constexpr int kBatch = 10000;

void BM_SerialQueueBlocks(benchmark::State& state) {
  auto queue = DispatchQueue::create("bench.serial");
  DispatchSemaphore done(0);
  uint64_t sum = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) queue->async([&sum, i] { sum += static_cast<uint64_t>(i); });
    queue->async([&] { done.signal(); });
    done.wait();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_SerialQueueBlocks)->UseRealTime();

void BM_DirectCallsBaseline(benchmark::State& state) {
  uint64_t sum = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      std::function<void()> block = [&sum, i] { sum += static_cast<uint64_t>(i); };
      benchmark::DoNotOptimize(block);
      block();
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_DirectCallsBaseline)->UseRealTime();

// Latency of one hop: a block of serial queue A posts to serial queue B and
// B's block posts back, kHops times; each sample is the time from `async` to
// the start of the block it posted.

constexpr int kHops = 2000;

void BM_SerialQueueHop(benchmark::State& state) {
  auto a = DispatchQueue::create("bench.ping");
  auto b = DispatchQueue::create("bench.pong");
  std::vector<uint64_t> samples;
  samples.reserve(static_cast<std::size_t>(kHops) * 64);
  DispatchSemaphore done(0);
  for (auto _ : state) {
    std::vector<uint64_t> local(kHops);
    std::function<void(int, uint64_t)> hop = [&](int n, uint64_t postedAt) {
      local[static_cast<std::size_t>(n)] = nowNanos() - postedAt;
      if (n + 1 == kHops) {
        done.signal();
        return;
      }
      auto& next = (n % 2 == 0) ? b : a;
      const uint64_t at = nowNanos();
      next->async([&hop, n, at] { hop(n + 1, at); });
    };
    const uint64_t at = nowNanos();
    a->async([&hop, at] { hop(0, at); });
    done.wait();
    samples.insert(samples.end(), local.begin(), local.end());
  }
  state.SetItemsProcessed(state.iterations() * kHops);
  reportPercentiles(state, samples);
}
BENCHMARK(BM_SerialQueueHop)->UseRealTime();

// The same ping-pong between two plain threads handing a token over with a
// mutex and condition variables: what a thread wake-up costs on this machine.
void BM_ThreadHandoffBaseline(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable changed;
  int turn = 0;  // 0: nobody, 1: ping's turn, 2: pong's turn, 3: stop
  uint64_t postedAt = 0;
  int hopsLeft = 0;
  std::vector<uint64_t> samples;
  auto player = [&](int me, int other) {
    std::unique_lock lock(mutex);
    for (;;) {
      changed.wait(lock, [&] { return turn == me || turn == 3; });
      if (turn == 3) return;
      samples.push_back(nowNanos() - postedAt);
      if (--hopsLeft == 0) {
        turn = 0;
      } else {
        postedAt = nowNanos();
        turn = other;
      }
      changed.notify_all();
    }
  };
  std::thread ping(player, 1, 2);
  std::thread pong(player, 2, 1);
  for (auto _ : state) {
    std::unique_lock lock(mutex);
    hopsLeft = kHops;
    postedAt = nowNanos();
    turn = 1;
    changed.notify_all();
    changed.wait(lock, [&] { return hopsLeft == 0; });
  }
  {
    std::lock_guard lock(mutex);
    turn = 3;
    changed.notify_all();
  }
  ping.join();
  pong.join();
  state.SetItemsProcessed(state.iterations() * kHops);
  reportPercentiles(state, samples);
}
BENCHMARK(BM_ThreadHandoffBaseline)->UseRealTime();

// Hop from a worker to the main loop: a global-queue block posts to the main
// queue while the benchmark's thread (the main thread) runs the loop.

void BM_WorkerToMainLoopHop(benchmark::State& state) {
  constexpr int kPosts = 1000;
  std::vector<uint64_t> samples;
  for (auto _ : state) {
    std::atomic<int> arrived{0};
    std::vector<uint64_t> local(kPosts);
    DispatchQueue::global()->async([&] {
      for (int i = 0; i < kPosts; ++i) {
        const uint64_t at = nowNanos();
        DispatchQueue::main()->async([&, i, at] {
          local[static_cast<std::size_t>(i)] = nowNanos() - at;
          ++arrived;
        });
        // Let the loop go idle again between posts, so each one wakes it.
        while (arrived.load() <= i) std::this_thread::yield();
      }
    });
    dispatch::MainLoop::runUntil([&] { return arrived.load() == kPosts; },
                                 DispatchTimeInterval::seconds(60));
    samples.insert(samples.end(), local.begin(), local.end());
  }
  state.SetItemsProcessed(state.iterations() * kPosts);
  reportPercentiles(state, samples);
}
BENCHMARK(BM_WorkerToMainLoopHop)->UseRealTime()->Iterations(3);

// Timer lateness: how long after its deadline a block submitted with
// asyncAfter starts, one timer at a time on an otherwise idle process; beside
// a thread sleeping to the same kind of deadline.

int timerCount(int64_t millis) { return millis <= 1 ? 400 : millis <= 10 ? 100 : 15; }

void BM_AsyncAfterLateness(benchmark::State& state) {
  const int64_t millis = state.range(0);
  auto queue = DispatchQueue::create("bench.timers");
  std::vector<uint64_t> samples;
  DispatchSemaphore done(0);
  for (auto _ : state) {
    for (int i = 0; i < timerCount(millis); ++i) {
      const DispatchTime deadline =
          DispatchTime::now() + DispatchTimeInterval::milliseconds(millis);
      uint64_t late = 0;
      queue->asyncAfter(deadline, [&] {
        late = nowNanos() - deadline.uptimeNanoseconds();
        done.signal();
      });
      done.wait();
      samples.push_back(late);
    }
  }
  reportPercentiles(state, samples);
}
BENCHMARK(BM_AsyncAfterLateness)->Arg(1)->Arg(10)->Arg(100)->Iterations(1)->UseRealTime();

void BM_TimerSourceLateness(benchmark::State& state) {
  const int64_t millis = state.range(0);
  auto queue = DispatchQueue::create("bench.source");
  std::vector<uint64_t> samples;
  DispatchSemaphore done(0);
  for (auto _ : state) {
    auto timer = dispatch::DispatchSource::makeTimerSource(queue);
    const int count = timerCount(millis);
    DispatchTime next = DispatchTime::now() + DispatchTimeInterval::milliseconds(millis);
    int fired = 0;
    timer->setEventHandler([&] {
      samples.push_back(nowNanos() - next.uptimeNanoseconds());
      // A run standing for several firings moves the expected deadline on by
      // as many periods.
      const uint64_t periods = timer->data();
      next = DispatchTime(next.uptimeNanoseconds() +
                          periods * static_cast<uint64_t>(millis) * 1'000'000u);
      if (++fired == count) done.signal();
    });
    timer->schedule(next, DispatchTimeInterval::milliseconds(millis));
    timer->resume();
    done.wait();
    timer->cancel();
  }
  reportPercentiles(state, samples);
}
BENCHMARK(BM_TimerSourceLateness)->Arg(1)->Arg(10)->Arg(100)->Iterations(1)->UseRealTime();

void BM_SleepUntilLatenessBaseline(benchmark::State& state) {
  const int64_t millis = state.range(0);
  std::vector<uint64_t> samples;
  for (auto _ : state) {
    for (int i = 0; i < timerCount(millis); ++i) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
      std::this_thread::sleep_until(deadline);
      samples.push_back(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                  std::chrono::steady_clock::now() - deadline)
                                                  .count()));
    }
  }
  reportPercentiles(state, samples);
}
BENCHMARK(BM_SleepUntilLatenessBaseline)->Arg(1)->Arg(10)->Arg(100)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
