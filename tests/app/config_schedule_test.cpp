// `config` on the schedule's keys: SCHEDULE.KEY reads and writes them, a value the clock
// would refuse is refused and never written, and `show` lists them when the file has them.
#include <gtest/gtest.h>

#include <sstream>

#include "config_command.h"
#include "test_support/posix_io.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

struct Config {
  int Run(std::vector<std::string> args) {
    std::ostringstream o, e;
    const int code = ConfigCommand(args, dir.path(), o, e);
    out = o.str();
    err = e.str();
    return code;
  }
  std::string File() const { return testing::ReadBytes(dir.path() / "Horatone.ini"); }
  TempDir dir;
  std::string out, err;
};

TEST(ConfigSchedule, KeysAreSetCheckedReadAndShownOnlyWhereTheFileHasThem) {
  Config c;
  ASSERT_EQ(c.Run({"set", "DTMFTIME", "456"}), 0);
  ASSERT_EQ(c.Run({"show"}), 0);
  EXPECT_EQ(c.out.find("SCHEDULE."), std::string::npos);
  EXPECT_EQ(c.Run({"get", "SCHEDULE.ZONE"}), 0);
  EXPECT_EQ(c.out, "local\n");

  ASSERT_EQ(c.Run({"set", "schedule.quiet", "22:30-07:30"}), 0) << c.err;
  ASSERT_EQ(c.Run({"set", "SCHEDULE.MINUTES", "59"}), 0) << c.err;
  ASSERT_EQ(c.Run({"set", "SCHEDULE.ZONE", "UTC"}), 0) << c.err;
  ASSERT_EQ(c.Run({"get", "SCHEDULE.QUIET"}), 0);
  EXPECT_EQ(c.out, "22:30-07:30\n");
  EXPECT_NE(c.File().find("[SCHEDULE]"), std::string::npos);

  const std::string before = c.File();
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"set", "SCHEDULE.QUIET", "22:30"},
        {"set", "SCHEDULE.MINUTES", "60"},
        {"set", "SCHEDULE.ZONE", "../../../etc/shadow"},
        {"set", "SCHEDULE.IDCLIP", "../Ident"}}) {
    EXPECT_EQ(c.Run(bad), 1) << bad[1];
    EXPECT_NE(c.err.find(bad[1]), std::string::npos) << c.err;
  }
  EXPECT_EQ(c.File(), before);
  EXPECT_EQ(c.Run({"get", "SCHEDULE.NOSUCHKEY"}), 2);

  ASSERT_EQ(c.Run({"show"}), 0);
  EXPECT_NE(c.out.find("\nSCHEDULE.QUIET=22:30-07:30\n"), std::string::npos) << c.out;
  EXPECT_NE(c.out.find("\nSCHEDULE.IDEVERY=0\n"), std::string::npos);
  ASSERT_EQ(c.Run({"unset", "SCHEDULE.QUIET"}), 0);
  ASSERT_EQ(c.Run({"get", "SCHEDULE.QUIET"}), 0);
  EXPECT_EQ(c.out, "\n");
}

}  // namespace
}  // namespace horatone
