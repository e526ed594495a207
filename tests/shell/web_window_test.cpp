// The window's controls as the web page uses them, against a Form1 on fakes: each use runs the
// control's own handler and answers with what it changed; bad input names its field and
// changes nothing; the status follows the clip that is still heard.
#include "shell/web_window.h"

#include <gtest/gtest.h>

#include "about/form14.h"
#include "shell/web_form.h"
#include "test_support/announcing.h"

namespace horatone {
namespace {

PageAnswer Use(Harness& h, std::string_view action, PageValues values) {
  return UseWindowControl(*h.form, action, values, &h.shell.opened);
}

double Rate(Form1& form) { return static_cast<FakeMedia::Graph&>(*form.ClipPosition).rate; }

TEST(WebWindow, BarsMoveTheClipUnderWayAndTheFormFollowsTheVolume) {
  Harness h;
  Form1& f = StartWithVoice(h);
  f.Command29.Click();
  h.loop.AdvanceBy(50);
  ASSERT_TRUE(f.ClipPosition);
  EXPECT_EQ(Rate(f), 1.0);
  PageAnswer answer = Use(h, "bar", {{"name", "V2"}, {"value", "200"}});
  EXPECT_EQ(answer.status, 200) << answer.json;
  EXPECT_EQ(Rate(f), 2.0);
  // Speed is not a setting: the form's revision stays.
  EXPECT_NE(answer.json.find("\"settings\":{}"), std::string::npos) << answer.json;

  const std::string before = SettingsRevision(f);
  answer = Use(h, "bar", {{"name", "V1"}, {"value", "-1500"}});
  EXPECT_EQ(f.VolSet.text(), "-1500");
  EXPECT_NE(answer.json.find("\"settings\":{\"VOLSET\":\"-1500\"}"), std::string::npos)
      << answer.json;
  EXPECT_NE(answer.json.find("\"revisionBefore\":\"" + before + "\""), std::string::npos);
  EXPECT_NE(answer.json.find("\"revision\":\"" + SettingsRevision(f) + "\""), std::string::npos);
  EXPECT_NE(before, SettingsRevision(f));

  // Refused, naming the field, and nothing moves.
  const std::string current = SettingsRevision(f);
  for (const auto& [values, status, words] : std::vector<std::tuple<PageValues, int, std::string>>{
           {{{"name", "V2"}, {"value", "201"}},
            422,
            "V2: \\\"201\\\" is not a number from 10 to 200"},
           {{{"name", "V1"}, {"value", "-1500.5"}}, 422, "V1:"},
           {{{"name", "H2"}, {"value", ""}}, 422, "H2:"},
           {{{"name", "H1"}, {"value", "999"}}, 422, "H1:"},
           {{{"name", "Timer1"}, {"value", "1"}}, 404, "name: \\\"Timer1\\\""},
           {{{"value", "1"}}, 422, "name:"}}) {
    answer = Use(h, "bar", values);
    EXPECT_EQ(answer.status, status) << answer.json;
    EXPECT_NE(answer.json.find(words), std::string::npos) << answer.json;
  }
  EXPECT_EQ(f.V2.value(), 200);
  EXPECT_EQ(f.V1.value(), -1500);
  EXPECT_EQ(SettingsRevision(f), current);
  EXPECT_EQ(Use(h, "drag", {{"name", "V1"}}).status, 404);
}

TEST(WebWindow, TheLastClipIsUnderWayUntilItHasBeenHeard) {
  Harness h;
  Form1& f = StartWithVoice(h, "CHECK1=0\nAMPM=1\n");
  f.Command29.Click();
  // The sequencer has handed over its last clip, which still plays.
  ASSERT_TRUE(h.loop.AdvanceUntil(
      [&] { return !f.Timer2.running() && f.Announcing == 0 && !f.ClipHasEnded(); }, 60000));
  std::string json = ClockStatusJson(f);
  EXPECT_NE(json.find("\"announcing\":true"), std::string::npos) << json;
  EXPECT_NE(json.find("\"clip\":\"" + HeardNames(h.media).back() + "\""), std::string::npos)
      << json;
  ASSERT_TRUE(RunToIdle(h));
  json = ClockStatusJson(f);
  EXPECT_NE(json.find("\"announcing\":false"), std::string::npos) << json;
  EXPECT_NE(json.find("\"clip\":\"\""), std::string::npos) << json;
}

TEST(WebWindow, ButtonsRunTheWindowsHandlers) {
  Harness h;
  Form1& f = StartWithVoice(h);
  f.Text5.set_text("C:\\Mine\\");
  PageAnswer answer = Use(h, "click", {{"name", "Command4"}});  // voice 2's Default
  EXPECT_EQ(f.Text5.text(), "C:\\HoraVoice\\M\\");
  EXPECT_NE(answer.json.find("\"TEXT5\":\"C:\\\\HoraVoice\\\\M\\\\\""), std::string::npos)
      << answer.json;
  f.Text4.set_text("C:\\Elsewhere\\");
  f.Option12.set_value(true);
  Use(h, "click", {{"name", "Command9"}});  // "Defalt Voice 1"
  EXPECT_EQ(f.Text4.text(), "C:\\Program Files\\Horatone\\");
  EXPECT_TRUE(f.Option11.value());
  EXPECT_EQ(Use(h, "click", {{"name", "Timer1"}}).status, 404);
  EXPECT_EQ(Use(h, "click", {{"name", "Command29x"}}).status, 404);

  // Play sounds one clip (after an announcement has left the clock ready).
  f.Command29.Click();
  ASSERT_TRUE(RunToIdle(h));
  const std::size_t heard = h.media.heard.size();
  Use(h, "click", {{"name", "Command1"}});
  EXPECT_TRUE(h.node.keyed());
  ASSERT_TRUE(h.loop.AdvanceUntil([&] { return !h.node.keyed(); }, 3000));
  EXPECT_EQ(h.media.heard.size(), heard + 1);

  // Save & Exit writes the file and ends the clock; nothing is used after that.
  f.DTMFTime.set_text("789");
  answer = Use(h, "click", {{"name", "SaveAndExit"}});
  EXPECT_EQ(answer.status, 200);
  EXPECT_NE(answer.json.find("\"ended\":true"), std::string::npos) << answer.json;
  EXPECT_TRUE(f.ended());
  EXPECT_NE(h.ReadSettingsFile().find("DTMFTIME=789"), std::string::npos);
  EXPECT_EQ(Use(h, "click", {{"name", "Command1"}}).status, 503);
}

TEST(WebWindow, AboutShowsItselfAndItsDonationChoiceHandsOverTheRightLink) {
  Harness h;
  Form1& f = StartWithVoice(h);
  EXPECT_NE(WindowStatusJson(f).find("\"about\":null"), std::string::npos);
  EXPECT_EQ(Use(h, "about", {{"name", "Command4"}}).status, 409);  // not shown yet
  Use(h, "click", {{"name", "Command2"}});
  std::string json = WindowStatusJson(f);
  EXPECT_NE(json.find("\"about\":{\"visible\":true"), std::string::npos) << json;
  EXPECT_NE(json.find("\"Donation: $50.00\"]"), std::string::npos) << json;

  // An amount that is none of the five opens nothing and leaves the window shown.
  PageAnswer answer = Use(h, "about", {{"name", "Command4"}, {"text", "Donation: $35.00"}});
  EXPECT_NE(answer.json.find("\"opened\":[]"), std::string::npos) << answer.json;
  EXPECT_TRUE(f.about_window()->visible());
  // Not a line of text: refused, the list keeps its text.
  answer = Use(h, "about", {{"name", "Command4"}, {"text", "Donation: $30.00\nx"}});
  EXPECT_EQ(answer.status, 422);
  EXPECT_NE(answer.json.find("Donation amount"), std::string::npos);
  EXPECT_EQ(f.about_window()->Combo1.text(), "Donation: $35.00");

  answer = Use(h, "about", {{"name", "Command4"}, {"text", "Donation: $30.00"}});
  EXPECT_NE(answer.json.find("&amount=$30.00\"]"), std::string::npos) << answer.json;
  EXPECT_FALSE(f.about_window()->visible());
  EXPECT_TRUE(h.shell.opened.empty());  // taken by the answer
  EXPECT_NE(WindowStatusJson(f).find("\"about\":{\"visible\":false"), std::string::npos);

  Use(h, "click", {{"name", "Command2"}});
  answer = Use(h, "about", {{"name", "Command3"}});
  EXPECT_NE(answer.json.find("\"opened\":[\"mailto:"), std::string::npos) << answer.json;
  Use(h, "about", {{"name", "Command1"}});
  EXPECT_FALSE(f.about_window()->visible());
}

TEST(WebWindow, TheStatusCarriesTheCaptionsTheLanguageTextsSet) {
  Harness h;
  Form1& f = StartWithVoice(h, "TEXT27=Sag die Zeit \xc3\xa4\nTEXT35=Sichern & Ende\n");
  h.loop.AdvanceBy(600);
  const std::string json = WindowStatusJson(f);
  EXPECT_NE(json.find("\"Command29\":\"Sag die Zeit \xc3\xa4\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"SaveAndExit\":\"Sichern & Ende\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"V1\":{\"min\":-3000,\"max\":0,\"value\":0}"), std::string::npos);
  EXPECT_NE(json.find("\"V2\":{\"min\":200,\"max\":10,\"value\":100}"), std::string::npos);
  EXPECT_NE(json.find("\"FileLocation\":\"C:\\\\Program Files\\\\Horatone\\\\\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"format\":\"wav\""), std::string::npos);
}

}  // namespace
}  // namespace horatone
