#include "platform/posix_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "test_support/loop_watchdog.h"

namespace horatone {
namespace {

constexpr std::int64_t kMs = 1'000'000;

// A loop on a hand-moved clock, so that what is due is decided by the test alone.
struct SteppedLoop {
  std::atomic<std::int64_t> now_ns{0};
  PosixLoop loop{[this] { return now_ns.load(); }};
};

TEST(PosixLoopTimers, TimersDueTogetherFireInCreationOrderAndMayStopEachOther) {
  SteppedLoop stepped;
  PosixLoop& loop = stepped.loop;
  std::vector<std::string> fired;
  PosixLoop::TimerId c = -1;
  const auto a = loop.CreateTimer([&] { fired.push_back("a"); });
  const auto b = loop.CreateTimer([&] {
    fired.push_back("b");
    loop.StopTimer(c);  // due in this same pass, yet it must not fire
    loop.Post([&] { loop.Quit(); });
  });
  c = loop.CreateTimer([&] { fired.push_back("c"); });
  const auto early = loop.CreateTimer([&] { fired.push_back("early"); });
  loop.StartTimer(c, 10);
  loop.StartTimer(b, 10);
  loop.StartTimer(a, 10);
  loop.StartTimer(early, 1000, 4);
  stepped.now_ns = 10 * kMs;
  loop.Run();
  EXPECT_EQ(fired, (std::vector<std::string>{"early", "a", "b"}));
}

TEST(PosixLoopTimers, MissedTicksAreSkippedAndTheCadenceIsKept) {
  SteppedLoop stepped;
  PosixLoop& loop = stepped.loop;
  std::vector<std::int64_t> fired_at;
  const auto timer = loop.CreateTimer([&] {
    fired_at.push_back(loop.NowMs());
    if (fired_at.size() == 1) {
      // Late by 25 ms: the ticks due at 20 and 30 are gone, the next one is at 40.
      stepped.now_ns = 39 * kMs;
      loop.Post([&] { stepped.now_ns = 40 * kMs; });
    } else {
      loop.Quit();
    }
  });
  loop.StartTimer(timer, 10);
  stepped.now_ns = 35 * kMs;
  loop.Run();
  EXPECT_EQ(fired_at, (std::vector<std::int64_t>{35, 40}));
}

// Tasks posted from another thread run in order on the loop thread; after Quit no handler
// starts, and what is left runs in the next Run.
TEST(PosixLoopRun, PostedTasksRunInOrderOnTheLoopThreadAndQuitStopsBeforeTheNext) {
  PosixLoop loop;
  ASSERT_TRUE(loop.status().ok) << loop.status().message;
  LoopWatchdog watchdog(loop);
  const auto loop_thread = std::this_thread::get_id();
  std::vector<int> seen, expected(200);
  std::iota(expected.begin(), expected.end(), 0);
  bool all_on_loop_thread = true;
  std::thread poster([&] {
    for (int i = 0; i < 200; ++i) {
      loop.Post([&, i] {
        seen.push_back(i);
        all_on_loop_thread = all_on_loop_thread && std::this_thread::get_id() == loop_thread;
      });
    }
    loop.Post([&] { loop.Quit(); });
  });
  loop.Run();
  poster.join();
  EXPECT_FALSE(watchdog.fired());
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(all_on_loop_thread);

  seen.clear();
  loop.Post([&] {
    seen.push_back(1);
    loop.Quit();
  });
  loop.Post([&] { seen.push_back(2); });
  loop.Run();
  EXPECT_EQ(seen, std::vector<int>{1});
  loop.Post([&] { loop.Quit(); });
  loop.Run();
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(PosixLoopRun, WatchesSeeReadableDescriptorsAndTheHookFollowsEveryHandler) {
  SteppedLoop stepped;
  PosixLoop& loop = stepped.loop;
  std::vector<std::string> order;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  loop.SetAfterEachHandler([&] { order.push_back("hook"); });
  PosixLoop::WatchId watch = 0;
  watch = loop.WatchReadable(fds[0], [&] {
    char byte;
    if (read(fds[0], &byte, 1) == 1) {
      order.push_back(std::string("read ") + byte);
      return;
    }
    loop.Unwatch(watch);  // end of input; removing itself from inside is allowed
    loop.Quit();
  });
  const auto timer = loop.CreateTimer([&] {
    order.push_back("timer");
    loop.StopTimer(0);
    loop.Post([&] {
      order.push_back("task");
      ASSERT_EQ(write(fds[1], "x", 1), 1);
      close(fds[1]);
    });
  });
  loop.StartTimer(timer, 1, 0);
  loop.Run();
  close(fds[0]);
  EXPECT_EQ(order, (std::vector<std::string>{"timer", "hook", "task", "hook", "read x", "hook",
                                             "hook"}));
}

TEST(PosixLoopSignals, ServiceSignalsArriveAsHandlersAndTheOldActionsReturn) {
  struct sigaction before {};
  sigaction(SIGTERM, nullptr, &before);
  struct sigaction hup_before {};
  sigaction(SIGHUP, nullptr, &hup_before);
  {
    PosixLoop loop;
    LoopWatchdog watchdog(loop);
    std::vector<int> signals;
    ASSERT_TRUE(loop.HandleSignals([&](int number) {
                      signals.push_back(number);
                      if (signals.size() == 3) loop.Quit();
                    })
                    .ok);
    PosixLoop other;
    EXPECT_FALSE(other.HandleSignals([](int) {}).ok);
    std::thread from_elsewhere([] { raise(SIGINT); });
    from_elsewhere.join();
    loop.Post([] { raise(SIGHUP); });
    loop.Post([] { raise(SIGTERM); });
    loop.Run();
    EXPECT_FALSE(watchdog.fired());
    EXPECT_EQ(signals, (std::vector<int>{SIGINT, SIGHUP, SIGTERM}));
  }
  struct sigaction after {};
  sigaction(SIGTERM, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
  sigaction(SIGHUP, nullptr, &after);
  EXPECT_EQ(after.sa_handler, hup_before.sa_handler);
}

}  // namespace
}  // namespace horatone
