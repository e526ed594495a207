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

}  // namespace
}  // namespace horatone
