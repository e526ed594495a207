// The web page's settings form against a Form1 with its settings file in a temp folder: the
// file's own conversions refuse bad values, a good save acts at once and is written, and a
// save built on a revision that is no longer current is refused without changing anything.
#include "shell/web_form.h"

#include <gtest/gtest.h>

#include "test_support/fakes.h"

namespace horatone {
namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

TEST(WebForm, BadValuesAreRefusedOneByOneAndNothingChanges) {
  Harness h;
  h.WriteSettings("[SETTINGS]\r\nDTMFTIME=123\r\nTEXT9=Zeit <b>\"und\"</b>\r\n");
  Form1& f = h.Start();
  const std::string before = h.ReadSettingsFile();
  const FormOutcome outcome =
      ApplySettingsForm(f, SettingsRevision(f),
                        Values{{"DTMFTIME", "456"},      // good, but the save is all or nothing
                               {"VOLSET", "-3001"},      // below the bar
                               {"ONHOUR", "3"},          // a check is 0 to 2
                               {"OPTION1", "maybe"},     // an option is True, False or a number
                               {"TEXT9", "two\nlines"},  // would split the line in the file
                               {"TEXT10", std::string(256, 'x')},  // would come back cut
                               {"TEXT11", " padded "},             // would come back trimmed
                               {"TEXT12", std::string("a\0b", 3)},  // cut when read back
                               {"TEXT13", "caf\xe9"},  // not UTF-8: read back as Windows-1252
                               {"LEFT", "5"},                      // not on the page
                               {"FILELOCATION", "C:\\x\\"},  // filled in by the selected voice
                               {"NOPE", "1"}});
  EXPECT_FALSE(outcome.saved);
  EXPECT_FALSE(outcome.stale);
  ASSERT_EQ(outcome.problems.size(), 11u) << FormOutcomeJson(outcome);
  for (const char* key : {"VOLSET", "ONHOUR", "OPTION1", "TEXT9", "TEXT10", "TEXT11", "TEXT12",
                          "TEXT13", "LEFT",
                          "FILELOCATION", "NOPE"}) {
    EXPECT_NE(FormOutcomeJson(outcome).find(key), std::string::npos) << key;
  }
  // A group of options keeps exactly one selected.
  for (const Values& values :
       {Values{{"OPTION1", "True"}, {"OPTION2", "True"}},
        Values{{"OPTION1", "False"}, {"OPTION2", "0"}}, Values{{"OPTION11", "False"}}}) {
    const FormOutcome group = ApplySettingsForm(f, SettingsRevision(f), values);
    EXPECT_FALSE(group.saved);
    ASSERT_EQ(group.problems.size(), 1u);
    EXPECT_EQ(group.problems[0].rfind("choose exactly one of", 0), 0u);
  }
  EXPECT_TRUE(f.Option2.value() && f.Option11.value());
  EXPECT_EQ(f.DTMFTime.text(), "123");
  EXPECT_EQ(h.ReadSettingsFile(), before);
  // The form the page draws leaves out what it may not change, and quotes the window's own
  // captions safely for a script.
  const std::string json = SettingsFormJson(f);
  EXPECT_EQ(json.find("\"LEFT\""), std::string::npos);
  EXPECT_NE(json.find("\"groupLabel\":\"Zeit \\u003cb>\\\"und\\\"\\u003c/b>\""), std::string::npos)
      << json;
}

// The file keeps 255 characters, not bytes: a text in Cyrillic is as long in the file as one
// in Latin letters, and a refused value leaves nothing behind that spoils the next save.
TEST(WebForm, LongTextsAreCountedInCharactersAndARefusalSpoilsNoLaterSave) {
  Harness h;
  Form1& f = h.Start();
  std::string longest, too_long;
  for (int i = 0; i < 255; ++i) longest += "\xd0\x96";  // Cyrillic Zhe, 2 bytes
  too_long = longest + "\xd0\x96";
  const FormOutcome refused =
      ApplySettingsForm(f, SettingsRevision(f), Values{{"TEXT9", std::string("a\0b", 3)}});
  ASSERT_EQ(refused.problems.size(), 1u);
  EXPECT_EQ(refused.problems[0], "TEXT9 holds a NUL byte");
  EXPECT_EQ(ApplySettingsForm(f, SettingsRevision(f), Values{{"TEXT9", too_long}}).problems,
            std::vector<std::string>{"TEXT9 is longer than 255 characters"});
  const FormOutcome saved =
      ApplySettingsForm(f, SettingsRevision(f), Values{{"TEXT9", longest}, {"TEXT10", longest}});
  EXPECT_TRUE(saved.saved) << FormOutcomeJson(saved);
  EXPECT_NE(h.ReadSettingsFile().find("TEXT10=" + longest + "\r\n"), std::string::npos);
  // Every field at its longest fits the form the server takes.
  EXPECT_GE(LongestSettingsForm(), 66u * 255 * 4 * 3);
}

TEST(WebForm, AGoodSaveActsAtOnceAndWritesTheWholeRecord) {
  Harness h;
  Form1& f = h.Start();
  const std::string revision = SettingsRevision(f);
  const Values good{{"DTMFTIME", "456"},  {"VOLSET", "-1200.4"}, {"OPTION1", "True"},
                    {"OPTION2", "False"}, {"ONHOUR", "0"},       {"TEXT5", "C:\\HoraVoice\\M\\"},
                    {"OPTION4", "1"},     {"OPTION3", "0"},      {"TEXT9", "Zeit"}};
  const FormOutcome outcome = ApplySettingsForm(f, revision, good);
  ASSERT_TRUE(outcome.saved) << FormOutcomeJson(outcome);
  EXPECT_NE(outcome.revision, revision);
  EXPECT_EQ(outcome.revision, SettingsRevision(f));
  // In the window at once: the bar and its text, the option groups, the voice, the captions.
  EXPECT_EQ(f.DTMFTime.text(), "456");
  EXPECT_EQ(f.V1.value(), -1200);
  EXPECT_EQ(f.VolSet.text(), "-1200");
  EXPECT_TRUE(f.Option1.value());
  EXPECT_FALSE(f.Option2.value());
  EXPECT_EQ(f.OnHour.value(), 0);
  EXPECT_EQ(f.FileLocation.text(), "C:\\HoraVoice\\M\\");
  EXPECT_EQ(f.Frame1.caption(), "Zeit");
  const std::string file = h.ReadSettingsFile();
  for (const char* line : {"DTMFTIME=456", "VOLSET=-1200", "OPTION1=True", "OPTION2=False",
                           "ONHOUR=0", "FILELOCATION=C:\\HoraVoice\\M\\", "TEXT9=Zeit"}) {
    EXPECT_NE(file.find(line), std::string::npos) << line;
  }
}

TEST(WebForm, ASaveOnStaleDataIsRefusedWhoeverChangedTheSettings) {
  Harness h;
  Form1& f = h.Start();
  const Values change{{"DTMFTIME", "456"}};

  // `config set` wrote the file behind the window's back.
  std::string seen = SettingsRevision(f);
  ASSERT_TRUE(h.profile.WriteString("SETTINGS", "DTMFTIME", "999").ok());
  FormOutcome outcome = ApplySettingsForm(f, seen, change);
  EXPECT_TRUE(outcome.stale);
  EXPECT_FALSE(outcome.saved);
  EXPECT_EQ(f.DTMFTime.text(), "123");
  EXPECT_NE(h.ReadSettingsFile().find("DTMFTIME=999"), std::string::npos);

  // The window changed a field.
  seen = SettingsRevision(f);
  f.HalfHour.set_value(0);
  EXPECT_TRUE(ApplySettingsForm(f, seen, change).stale);

  // Two pages loaded at the same time: the first save wins, the second is refused.
  seen = SettingsRevision(f);
  ASSERT_TRUE(ApplySettingsForm(f, seen, change).saved);
  outcome = ApplySettingsForm(f, seen, Values{{"DTMFTIME", "777"}});
  EXPECT_TRUE(outcome.stale);
  EXPECT_EQ(f.DTMFTime.text(), "456");
  EXPECT_EQ(outcome.revision, SettingsRevision(f));
  // A page that loads again saves.
  EXPECT_TRUE(ApplySettingsForm(f, outcome.revision, Values{{"DTMFTIME", "777"}}).saved);
}

TEST(WebStatus, TheNextSlotIsTheNextEnabledOneAcrossTheHourAndTheDay) {
  const auto next = [](LocalTime start, const std::string& settings) {
    Harness h(start);
    h.WriteSettings("[SETTINGS]\r\n" + settings);
    Form1& f = h.Start();
    const std::string json = ClockStatusJson(f);
    const std::size_t at = json.find("\"next\":\"") + 8;
    return json.substr(at, json.find('"', at) - at);
  };
  EXPECT_EQ(next({2026, 12, 6, 14, 4, 50, 0}, ""), "14:15");
  EXPECT_EQ(next({2026, 12, 6, 14, 15, 0, 0}, "HALFHOUR=0\r\n"), "14:45");
  EXPECT_EQ(next({2026, 12, 6, 23, 50, 10, 0}, ""), "00:00");
  EXPECT_EQ(next({2026, 12, 6, 23, 50, 10, 0}, "ONHOUR=0\r\nHALFHOUR=0\r\n"), "00:15");
  EXPECT_EQ(next({2026, 12, 6, 9, 0, 0, 0}, "ONHOUR=0\r\nHALFHOUR=0\r\nQUARTERHOUR=0\r\n"), "none");
}

}  // namespace
}  // namespace horatone
