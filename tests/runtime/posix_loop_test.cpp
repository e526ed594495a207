#include "runtime/posix_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace horatone
