#include "platform/posix_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace horatone {
namespace {

constexpr std::int64_t kMs = 1'000'000;

// A loop on a hand-moved clock, so that what is due is decided by the test alone.
struct SteppedLoop {
  std::atomic<std::int64_t> now_ns{0};
  PosixLoop loop{[this] { return now_ns.load(); }};
};

// Quits the loop and marks the run as failed if it is still going after ten seconds, so that
// a broken loop ends the test instead of hanging it.
class Watchdog {
 public:
  explicit Watchdog(PosixLoop& loop) : timer_(loop.CreateTimer([this, &loop] {
    fired_ = true;
    loop.Quit();
  })) {
    loop.StartTimer(timer_, 10'000);
  }
  bool fired() const { return fired_; }

 private:
  bool fired_ = false;
  PosixLoop::TimerId timer_;
};

TEST(PosixLoopTimers, TimersDueTogetherFireInCreationOrder) {
  SteppedLoop stepped;
  PosixLoop& loop = stepped.loop;
  std::vector<std::string> fired;
  const auto a = loop.CreateTimer([&] { fired.push_back("a"); });
  const auto b = loop.CreateTimer([&] { fired.push_back("b"); });
  const auto c = loop.CreateTimer([&] {
    fired.push_back("c");
    loop.Quit();
  });
  loop.StartTimer(c, 10);
  loop.StartTimer(b, 10);
  loop.StartTimer(a, 10);
  stepped.now_ns = 10 * kMs;
  loop.Run();
  EXPECT_EQ(fired, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(PosixLoopTimers, EarlierDeadlineFiresFirstWhateverTheCreationOrder) {
  SteppedLoop stepped;
  PosixLoop& loop = stepped.loop;
  std::vector<std::string> fired;
  const auto late = loop.CreateTimer([&] {
    fired.push_back("late");
    loop.Quit();
  });
  const auto early = loop.CreateTimer([&] { fired.push_back("early"); });
  loop.StartTimer(late, 1000, 7);
  loop.StartTimer(early, 1000, 3);
  stepped.now_ns = 7 * kMs;
  loop.Run();
  EXPECT_EQ(fired, (std::vector<std::string>{"early", "late"}));
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

TEST(PosixLoopTimers, AHandlerCanStopATimerDueInTheSamePass) {
  SteppedLoop stepped;
  PosixLoop& loop = stepped.loop;
  std::vector<std::string> fired;
  PosixLoop::TimerId second = -1;
  const auto first = loop.CreateTimer([&] {
    fired.push_back("first");
    loop.StopTimer(second);
    loop.StopTimer(0);
    loop.Post([&] { loop.Quit(); });
  });
  second = loop.CreateTimer([&] { fired.push_back("second"); });
  loop.StartTimer(first, 5);
  loop.StartTimer(second, 5);
  stepped.now_ns = 5 * kMs;
  loop.Run();
  EXPECT_EQ(fired, (std::vector<std::string>{"first"}));
}

TEST(PosixLoopTimers, ANegativeFirstDelayMeansOneIntervalAndZeroMeansAtOnce) {
  SteppedLoop stepped;
  PosixLoop& loop = stepped.loop;
  std::vector<std::string> fired;
  const auto interval = loop.CreateTimer([&] {
    fired.push_back("interval");
    loop.Quit();
  });
  const auto at_once = loop.CreateTimer([&] {
    fired.push_back("at once");
    stepped.now_ns = 100 * kMs;
  });
  loop.StartTimer(interval, 100);
  loop.StartTimer(at_once, 1000, 0);
  loop.Run();
  EXPECT_EQ(fired, (std::vector<std::string>{"at once", "interval"}));
}

TEST(PosixLoopRun, TasksPostedFromAnotherThreadRunInOrderOnTheLoopThread) {
  PosixLoop loop;
  ASSERT_TRUE(loop.status().ok) << loop.status().message;
  Watchdog watchdog(loop);
  const auto loop_thread = std::this_thread::get_id();
  std::vector<int> seen;
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
  ASSERT_EQ(seen.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_TRUE(all_on_loop_thread);
}

TEST(PosixLoopRun, QuitFromAnotherThreadEndsAnIdleRun) {
  PosixLoop loop;
  Watchdog watchdog(loop);
  std::thread quitter([&] { loop.Quit(); });
  loop.Run();
  quitter.join();
  EXPECT_FALSE(watchdog.fired());
}

TEST(PosixLoopRun, NoHandlerStartsAfterQuitAndTheRestRunsInTheNextRun) {
  PosixLoop loop;
  std::vector<int> ran;
  loop.Post([&] { ran.push_back(1); });
  loop.Post([&] {
    ran.push_back(2);
    loop.Quit();
  });
  loop.Post([&] {
    ran.push_back(3);
    loop.Quit();
  });
  loop.Run();
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  loop.Run();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST(PosixLoopRun, TheAfterEachHookRunsAfterEveryKindOfHandler) {
  SteppedLoop stepped;
  PosixLoop& loop = stepped.loop;
  std::vector<std::string> order;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  loop.SetAfterEachHandler([&] { order.push_back("hook"); });
  PosixLoop::WatchId watch = 0;
  watch = loop.WatchReadable(fds[0], [&] {
    char byte;
    ASSERT_EQ(read(fds[0], &byte, 1), 1);
    order.push_back("watch");
    loop.Unwatch(watch);
    loop.Quit();
  });
  const auto timer = loop.CreateTimer([&] {
    order.push_back("timer");
    loop.StopTimer(0);
    loop.Post([&] {
      order.push_back("task");
      ASSERT_EQ(write(fds[1], "x", 1), 1);
    });
  });
  loop.StartTimer(timer, 1, 0);
  loop.Run();
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(order,
            (std::vector<std::string>{"timer", "hook", "task", "hook", "watch", "hook"}));
}

TEST(PosixLoopWatches, AReadableDescriptorCallsItsWatchUntilUnwatched) {
  PosixLoop loop;
  Watchdog watchdog(loop);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string received;
  PosixLoop::WatchId watch = 0;
  watch = loop.WatchReadable(fds[0], [&] {
    char byte;
    const ssize_t got = read(fds[0], &byte, 1);
    if (got == 1) {
      received += byte;
      return;
    }
    loop.Unwatch(watch);  // end of input
    loop.Quit();
  });
  std::thread writer([&] {
    ASSERT_EQ(write(fds[1], "abc", 3), 3);
    close(fds[1]);
  });
  loop.Run();
  writer.join();
  close(fds[0]);
  EXPECT_FALSE(watchdog.fired());
  EXPECT_EQ(received, "abc");
}

TEST(PosixLoopWatches, AWatchRemovedByAnEarlierHandlerOfThePassDoesNotRun) {
  PosixLoop loop;
  int first[2], second[2];
  ASSERT_EQ(pipe(first), 0);
  ASSERT_EQ(pipe(second), 0);
  ASSERT_EQ(write(first[1], "x", 1), 1);
  ASSERT_EQ(write(second[1], "x", 1), 1);
  int calls = 0;
  PosixLoop::WatchId a = 0, b = 0;
  a = loop.WatchReadable(first[0], [&] {
    ++calls;
    loop.Unwatch(a);
    loop.Unwatch(b);
    loop.Post([&] { loop.Quit(); });
  });
  b = loop.WatchReadable(second[0], [&] {
    ++calls;
    loop.Unwatch(a);
    loop.Unwatch(b);
    loop.Post([&] { loop.Quit(); });
  });
  loop.Run();
  EXPECT_EQ(calls, 1);
  for (int fd : {first[0], first[1], second[0], second[1]}) close(fd);
}

TEST(PosixLoopSignals, TerminationSignalsArriveAsHandlersAndTheOldActionsReturn) {
  struct sigaction before {};
  sigaction(SIGTERM, nullptr, &before);
  {
    PosixLoop loop;
    Watchdog watchdog(loop);
    std::vector<int> signals;
    const auto loop_thread = std::this_thread::get_id();
    bool on_loop_thread = true;
    ASSERT_TRUE(loop.HandleTerminationSignals([&](int number) {
                  signals.push_back(number);
                  on_loop_thread = on_loop_thread && std::this_thread::get_id() == loop_thread;
                  if (signals.size() == 2) loop.Quit();
                }).ok);
    PosixLoop other;
    EXPECT_FALSE(other.HandleTerminationSignals([](int) {}).ok);
    loop.Post([] { raise(SIGTERM); });
    std::thread from_elsewhere([] { raise(SIGINT); });
    from_elsewhere.join();
    loop.Run();
    EXPECT_FALSE(watchdog.fired());
    EXPECT_EQ(signals.size(), 2u);
    EXPECT_TRUE(on_loop_thread);
  }
  struct sigaction after {};
  sigaction(SIGTERM, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

}  // namespace
}  // namespace horatone
