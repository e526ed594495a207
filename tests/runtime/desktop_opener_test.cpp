// The desktop link opener with stand-in xdg-open scripts, on the real loop.
#include "runtime/desktop_opener.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "runtime/posix_loop.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

class Opener : public ::testing::Test {
 protected:
  // A stand-in that writes its arguments, each followed by '|', and exits with `status`.
  std::string Script(int status, const std::string& extra = "") {
    const std::string path = (dir.path() / ("open-" + std::to_string(status))).string();
    std::ofstream(path) << "#!/bin/sh\nprintf '%s|' \"$@\" > '"
                        << (dir.path() / "received").string() << "'\n"
                        << extra << "exit " << status << "\n";
    chmod(path.c_str(), 0755);
    return path;
  }
  std::string Received() const { return testing::ReadBytes(dir.path() / "received"); }
  TempDir dir;
  PosixLoop loop;
};

// Exit statuses become shell codes; the link goes over as one argument without a shell.
TEST_F(Opener, MapsOutcomesToShellCodesAndHandsTheLinkOverWhole) {
  for (const auto& [status, code] : {std::pair{0, 42}, {3, 31}, {127, 31}, {2, 2}, {77, 32}}) {
    EXPECT_EQ(DesktopOpener(loop, Script(status)).Open("https://example.org/"), code) << status;
  }
  EXPECT_EQ(DesktopOpener(loop, "horatone-no-such-opener-on-path").Open("https://x.org"), 31);
  EXPECT_EQ(  // one that stays running has found its program
      DesktopOpener(loop, Script(5, "exec >/dev/null 2>&1\nsleep 3\n"), 50).Open("https://x.org"),
      42);
  const std::string link = "mailto:maker@horatone.invalid?subject= Horatone & $30.00 ";
  ASSERT_EQ(DesktopOpener(loop, Script(0)).Open(link), 42);
  EXPECT_EQ(Received(), link + "|");
  ASSERT_EQ(DesktopOpener(loop, Script(0)).Open("www.horatone.invalid"), 42);
  EXPECT_EQ(Received(), "https://www.horatone.invalid|");
  for (const char* unchanged : {"/tmp/file.txt", "C:\\YourFiles\\a.wav", "README", ""}) {
    EXPECT_EQ(WithWebScheme(unchanged), unchanged);
  }
}

// A slow opener (a browser starting) must not hold up the loop: this one exits only after the
// loop's own timer has fired three times, and its failure code still arrives afterwards.
TEST_F(Opener, ASlowOpenerLeavesTheLoopRunningAndReportsItsOutcomeLater) {
  const std::string go = (dir.path() / "go").string();
  DesktopOpener opener(loop, Script(3, "while [ ! -e '" + go + "' ]; do sleep 0.05; done\n"),
                       60000);
  int ticks = 0;
  std::optional<int> code;
  const auto tick = loop.CreateTimer([&] {
    if (++ticks == 3) std::ofstream{go};
  });
  loop.StartTimer(tick, 100);
  opener.OpenAsync("https://example.org/", [&](int result) {
    code = result;
    EXPECT_GE(ticks, 3);
    loop.Quit();
  });
  EXPECT_FALSE(code) << "reported before the opener could have finished";
  loop.Run();
  EXPECT_EQ(code, 31);
  // One that cannot be started at all is told at once.
  DesktopOpener(loop, "horatone-no-such-opener-on-path").OpenAsync("x", [&](int r) { code = r; });
  EXPECT_EQ(code, 31);
}

}  // namespace
}  // namespace horatone
