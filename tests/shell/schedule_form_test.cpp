// The schedule's fields in the page's settings form: listed on their own tab, refused by the
// schedule's rules as the file and `config` refuse them, and saved into their own section.
#include <gtest/gtest.h>

#include "shell/web_form.h"
#include "test_support/fakes.h"

namespace horatone {
namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

TEST(ScheduleForm, TheFieldsAreListedCheckedAndSavedIntoTheirOwnSection) {
  Harness h;
  h.WriteSettings("[SETTINGS]\r\nDTMFTIME=123\r\n");
  Form1& f = h.Start();
  const std::string json = SettingsFormJson(f);
  EXPECT_NE(json.find("{\"key\":\"SCHEDULE.QUIET\",\"kind\":\"text\",\"tab\":\"schedule\""),
            std::string::npos) << json;
  EXPECT_NE(json.find("\"key\":\"SCHEDULE.MESSAGE4\""), std::string::npos);

  const std::string before = h.ReadSettingsFile();
  const FormOutcome refused = ApplySettingsForm(
      f, SettingsRevision(f),
      Values{{"SCHEDULE.QUIET", "22:00-06:00"}, {"SCHEDULE.MINUTES", "59,75"},
             {"SCHEDULE.ZONE", " UTC"}, {"SCHEDULE.ZONE", "UTC"}, {"schedule.quiet", "x"}});
  EXPECT_FALSE(refused.saved);
  EXPECT_EQ(refused.problems.size(), 3u) << FormOutcomeJson(refused);
  EXPECT_EQ(h.ReadSettingsFile(), before);
  EXPECT_FALSE(f.schedule().quiet);

  const FormOutcome saved = ApplySettingsForm(
      f, SettingsRevision(f),
      Values{{"DTMFTIME", "456"}, {"SCHEDULE.QUIET", "22:00-06:00"},
             {"SCHEDULE.MINUTES", "59"}, {"SCHEDULE.ZONE", "UTC"}, {"SCHEDULE.IDCLIP", "Ident"}});
  ASSERT_TRUE(saved.saved) << FormOutcomeJson(saved);
  EXPECT_TRUE(f.schedule().minutes[59]);
  EXPECT_EQ(h.profile.GetString("SCHEDULE", "QUIET", ""), "22:00-06:00");
  EXPECT_EQ(h.profile.GetString("SCHEDULE", "IDCLIP", ""), "Ident");
  EXPECT_EQ(h.profile.GetString("SETTINGS", "DTMFTIME", ""), "456");
  // A change made to the file elsewhere makes the page's revision stale.
  const std::string revision = SettingsRevision(f);
  ASSERT_TRUE(h.profile.WriteString("SCHEDULE", "IDEVERY", "10").ok());
  EXPECT_NE(SettingsRevision(f), revision);
}

// The page's next slot keeps the quiet hours and knows the extra minutes and message times.
TEST(ScheduleForm, TheNextSlotOnThePageKeepsTheSchedule) {
  const auto next = [](LocalTime start, const std::string& schedule) {
    Harness h(start);
    h.WriteSettings("[SETTINGS]\r\nQUARTERHOUR=0\r\nHALFHOUR=0\r\n[SCHEDULE]\r\n" + schedule);
    Form1& f = h.Start();
    const std::string json = ClockStatusJson(f);
    const std::size_t at = json.find("\"next\":\"") + 8;
    return json.substr(at, json.find('"', at) - at);
  };
  EXPECT_EQ(next({2026, 12, 6, 21, 10, 0}, "QUIET=21:30-06:30\r\n"), "07:00");
  EXPECT_EQ(next({2026, 12, 6, 21, 10, 0}, "MINUTES=20\r\n"), "21:20");
  EXPECT_EQ(next({2026, 12, 24, 21, 10, 0}, "QUIET=21:30-06:30\r\nMESSAGE1=Xmas;12-25;06:45\r\n"),
            "06:45");
  EXPECT_EQ(next({2026, 12, 6, 21, 10, 0}, "ZONE=UTC\r\nMINUTES=59\r\n"), "21:59");
}

}  // namespace
}  // namespace horatone
