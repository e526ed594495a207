// The desktop link opener with stand-ins for xdg-open: little scripts that record the link
// they were given and exit with a chosen status.
#include "platform/desktop_opener.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "test_support/temp_dir.h"

namespace horatone {
namespace {

class Opener : public testing::Test {
 protected:
  // A stand-in that writes its arguments to a file and exits with `status`.
  std::string Script(int status, const std::string& extra = "") {
    const std::string path = (dir.path() / ("open-" + std::to_string(status))).string();
    std::ofstream(path) << "#!/bin/sh\nprintf '%s|' \"$@\" > '" << Received() << "'\n"
                        << extra << "exit " << status << "\n";
    chmod(path.c_str(), 0755);
    return path;
  }
  std::string Received() const { return (dir.path() / "received").string(); }
  std::string Argument() const {
    std::ifstream in(Received());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  TempDir dir;
};

TEST_F(Opener, MapsTheExitStatusToShellCodes) {
  const std::pair<int, int> cases[] = {{0, 42}, {3, 31}, {2, 2}, {1, 1}, {4, 4}, {77, 32}};
  for (const auto& [status, code] : cases) {
    EXPECT_EQ(DesktopOpener(Script(status)).Open("https://example.org/"), code) << status;
  }
}

TEST_F(Opener, AMissingOpenerMeansNoAssociation) {
  EXPECT_EQ(DesktopOpener((dir.path() / "no-such-xdg-open").string()).Open("https://x.org"), 31);
  EXPECT_EQ(DesktopOpener("horatone-no-such-opener-on-path").Open("https://x.org"), 31);
}

TEST_F(Opener, HandsTheLinkOverAsOneArgumentWithoutAShell) {
  const std::string mail = "mailto:maker@horatone.invalid?subject= Horatone Program ";
  ASSERT_EQ(DesktopOpener(Script(0)).Open(mail), 42);
  EXPECT_EQ(Argument(), mail + "|");
  const std::string donation =
      "https://pay.invalid/xclick/business=a@b.invalid&undefined_quantity=1&amount=$30.00";
  ASSERT_EQ(DesktopOpener(Script(0)).Open(donation), 42);
  EXPECT_EQ(Argument(), donation + "|");
}

TEST_F(Opener, ABareHostBecomesAnHttpsLink) {
  ASSERT_EQ(DesktopOpener(Script(0)).Open("www.horatone.invalid"), 42);
  EXPECT_EQ(Argument(), "https://www.horatone.invalid|");
  EXPECT_EQ(WithWebScheme("horatone.invalid/voices"), "https://horatone.invalid/voices");
  for (const char* unchanged : {"https://a.org", "mailto:x@y.org", "/tmp/file.txt", "./a.b",
                                "C:\\YourFiles\\a.wav", "README", "file:///tmp/x", ""}) {
    EXPECT_EQ(WithWebScheme(unchanged), unchanged);
  }
}

TEST_F(Opener, AnOpenerThatStaysHasFoundItsProgram) {
  EXPECT_EQ(
      DesktopOpener(Script(5, "exec >/dev/null 2>&1\nsleep 3\n"), 50).Open("https://example.org/"),
      42);
}

}  // namespace
}  // namespace horatone
