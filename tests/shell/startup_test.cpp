// Start-up, Save and the ways out of the main window, with a real settings file in a temp
// folder, the simulated node and scripted message boxes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_support/fakes.h"

namespace horatone {
namespace {

TEST(StartUp, GoodValuesCountAndBadOnesTakeTheirDefaultAndAreReportedInOneMessage) {
  Harness h;
  // Numbers are options, within a group the later key wins, keys are in any case.
  h.WriteSettings(
      "[SETTINGS]\r\nOPTION1=-1\r\nOPTION2=True\r\nOPTION6=true\r\nOPTION9=2.5\r\ntext5=abc\r\n"
      "LEFT=1234.5\r\nONHOUR=0\r\nCHECK1=3\r\nTOP=\r\nVOLSET=-3001\r\n");
  Form1& f = h.Start();
  EXPECT_TRUE(f.Option2.value() && f.Option9.value());
  EXPECT_FALSE(f.Option1.value() || f.Option6.value());
  EXPECT_EQ(f.Text5.text(), "abc");
  EXPECT_FLOAT_EQ(f.left, 1234.5f);
  EXPECT_EQ(f.OnHour.value(), 0);
  EXPECT_EQ(f.Check1.value(), 1);
  EXPECT_EQ(f.top, 300);
  EXPECT_EQ(f.V1.value(), 0);
  EXPECT_EQ(f.VolSet.text(), "0");
  ASSERT_EQ(h.dialogs.shown.size(), 1u);
  EXPECT_EQ(h.dialogs.shown[0].text,
            "Horatone.ini: CHECK1 = \"3\" is not valid; using \"1\".\r\n"
            "Horatone.ini: TOP = \"\" is not valid; using \"300\".\r\n"
            "Horatone.ini: VOLSET = \"-3001\" is not valid; using \"0\".");
  EXPECT_FALSE(f.ended());
}

// A FIFO: no writer would ever come, and a blocking read would hang start-up.
TEST(StartUp, ASettingsFileThatCannotBeReadIsNamedAndNotReplaced) {
  Harness h;
  const auto ini = h.dir.path() / "Horatone.ini";
  ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0);
  Form1& f = h.Start();
  EXPECT_FALSE(f.ended());
  EXPECT_TRUE(f.Option2.value() && f.Option3.value());
  ASSERT_EQ(h.dialogs.shown.size(), 1u);
  EXPECT_EQ(h.dialogs.shown[0].text,
            ini.string() + ": not a regular file (a FIFO); not read; using the defaults.");
  f.Command5.Click();  // Save
  EXPECT_EQ(h.dialogs.shown.size(), 2u);
  EXPECT_TRUE(std::filesystem::is_fifo(ini));
}

TEST(Save, ASecondStartReadsTheSameStateAndAFailedSaveIsReported) {
  Harness h;
  Form1& f = h.Start();
  f.Option1.set_value(true);
  f.Check2.set_value(0);
  f.LanguageText(27).set_text("Zeit sagen & mehr");
  f.V1.set_value(-700);
  f.left = 4410;
  f.Command5.Click();
  const std::string file = h.ReadSettingsFile();
  EXPECT_EQ(file.rfind("[SETTINGS]\r\n", 0), 0u);
  // The record's keys in their one order, written out here rather than taken from the table
  // under test.
  std::string expected = "FILELOCATION VOLSET ";
  for (int n = 1; n <= 10; ++n) expected += "OPTION" + std::to_string(n) + " ";
  expected += "ONHOUR QUARTERHOUR HALFHOUR DTMFTIME AMPM OPTIONWAV OPTIONMP3 CHECK1 CHECK2 ";
  for (int n = 4; n <= 8; ++n) expected += "TEXT" + std::to_string(n) + " ";
  for (int n = 11; n <= 20; ++n) expected += "OPTION" + std::to_string(n) + " ";
  for (int n = 9; n <= 36; ++n) expected += "TEXT" + std::to_string(n) + " ";
  expected += "LEFT TOP ";
  std::string written;
  for (size_t at = 0; (at = file.find("\r\n", at)) != std::string::npos; at += 2) {
    const size_t end = file.find('=', at);
    if (end != std::string::npos) written += file.substr(at + 2, end - at - 2) + " ";
  }
  EXPECT_EQ(written, expected);
  for (const char* line : {"\r\nOPTION1=True\r\nOPTION2=False\r\n", "\r\nCHECK2=0\r\n",
                           "\r\nVOLSET=-700\r\n", "\r\nLEFT=4410\r\nTOP=300\r\n"}) {
    EXPECT_NE(file.find(line), std::string::npos) << line;
  }
  Harness again;
  again.WriteSettings(file);
  Form1& g = again.Start();
  EXPECT_EQ(g.SettingsLines(), f.SettingsLines());
  EXPECT_EQ(g.Command29.caption(), "Zeit sagen & mehr");

  std::filesystem::remove_all(h.dir.path());  // the system directory has vanished
  f.Command5.Click();
  ASSERT_EQ(h.dialogs.shown.size(), 1u);
  EXPECT_EQ(h.dialogs.shown[0].title, "Save");
  EXPECT_NE(h.dialogs.shown[0].text.find("Horatone.ini"), std::string::npos);
  EXPECT_FALSE(f.ended());
}

TEST(Ending, TheQuitQuestionNoChangesNothingYesReleasesAndEndsWithoutSaving) {
  Harness h;
  Form1& f = h.Start();
  f.PTT.set_fore_colour(kColourRed);
  f.PTT.set_caption("PTT ON");
  const size_t calls = h.node.calls().size();
  h.dialogs.answers = {MsgAnswer::kNo, MsgAnswer::kYes};
  EXPECT_FALSE(f.QueryUnload());
  EXPECT_EQ(h.dialogs.shown.back().buttons, MsgButtons::kYesNo);
  EXPECT_FALSE(f.ended());
  EXPECT_EQ(f.PTT.caption(), "PTT ON");
  EXPECT_EQ(h.node.calls().size(), calls);

  EXPECT_TRUE(f.QueryUnload());
  EXPECT_TRUE(f.ended() && h.end.ended);
  EXPECT_EQ(f.PTT.caption(), "PTT OFF");
  EXPECT_EQ(f.PTT.fore_colour(), kColourGreen);
  EXPECT_EQ(h.node.calls().back().what, "Transmit 0");
  EXPECT_FALSE(std::filesystem::exists(h.dir.path() / "Horatone.ini"));
  // No handler runs after the end.
  const size_t at_end = h.node.calls().size();
  h.loop.AdvanceBy(5000);
  f.Command29.Click();
  EXPECT_EQ(h.node.calls().size(), at_end);

  // Save & Exit saves, then releases the transmitter.
  Harness s;
  Form1& g = s.Start();
  ASSERT_TRUE(g.echolink()->Transmit(true));
  g.SaveAndExit.Click();
  EXPECT_TRUE(g.ended());
  EXPECT_FALSE(s.node.keyed());
  EXPECT_EQ(g.PTT.caption(), "PTT OFF");
  EXPECT_NE(s.ReadSettingsFile().find("TOP=300"), std::string::npos);
}

// A node that learns its own name after the clock has started (SvxLink's EchoLink callsign
// comes with the handler's first report): the caption follows, and the view is told once.
TEST(StartUp, TheCaptionFollowsTheNodesInformationTextWhenItChanges) {
  Harness h;
  Form1& f = h.Start();
  EXPECT_EQ(f.caption, "Horatone    Simulated node   v2.0.1");
  int told = 0;
  f.on_caption_changed = [&told] { ++told; };
  h.loop.AdvanceBy(500);
  EXPECT_EQ(told, 0);
  h.node.info_text = "SvxLink N0CALL-L";
  h.loop.AdvanceBy(500);
  EXPECT_EQ(f.caption, "Horatone    SvxLink N0CALL-L   v2.0.1");
  EXPECT_EQ(told, 1);
  f.on_caption_changed = nullptr;
}

}  // namespace
}  // namespace horatone
