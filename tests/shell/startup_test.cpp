// Start-up, Save and the ways out of the main window, with a real settings file in a temp
// folder, the simulated node and scripted message boxes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "shell/texts.h"
#include "test_support/fakes.h"

namespace horatone {
namespace {

TEST(StartUp, WithoutASettingsFileTheDefaultsHoldAndTheTransmitterIsReleased) {
  Harness h;
  Form1& f = h.Start();
  EXPECT_EQ(f.caption, "Horatone    Simulated node   v2.0.1");
  EXPECT_TRUE(f.Option2.value() && f.Option3.value() && f.Option5.value() && f.OptionWAV.value());
  EXPECT_EQ(f.OnHour.value() + f.QuarterHour.value() + f.HalfHour.value(), 3);
  EXPECT_EQ(f.Text4.text(), "C:\\Program Files\\Horatone\\");
  EXPECT_TRUE(h.dialogs.shown.empty());
  // Whatever the node was doing.
  ASSERT_FALSE(h.node.calls().empty());
  EXPECT_EQ(h.node.calls().front().what, "Transmit 0");
  // An empty info text leaves seven blanks before the version.
  Harness bare;
  bare.node.info_text = "";
  EXPECT_EQ(bare.Start().caption, "Horatone       v2.0.1");
}

TEST(StartUp, NumbersAreOptionsAndWithinAGroupTheLaterKeyWins) {
  Harness h;
  h.WriteSettings(
      "[SETTINGS]\r\nOPTION1=-1\r\nOPTION2=True\r\nOPTION6=true\r\nOPTION9=2.5\r\n"
      "text5=\r\nvolset=-1500\r\nLEFT=1234.5\r\n");
  Form1& f = h.Start();
  EXPECT_TRUE(f.Option2.value());
  EXPECT_FALSE(f.Option1.value());
  EXPECT_TRUE(f.Option9.value());
  EXPECT_FALSE(f.Option6.value());
  EXPECT_EQ(f.Text5.text(), "");
  EXPECT_EQ(f.V1.value(), -1500);
  EXPECT_EQ(f.VolSet.text(), "-1500");
  EXPECT_FLOAT_EQ(f.left, 1234.5f);
  EXPECT_TRUE(h.dialogs.shown.empty());
}

TEST(StartUp, BadStoredValuesTakeTheirDefaultAndAreReportedInOneMessage) {
  Harness h;
  h.WriteSettings("[SETTINGS]\nOPTION2=maybe\nCHECK1=3\nTOP=\nVOLSET=-3001\nONHOUR=0\n");
  Form1& f = h.Start();
  EXPECT_TRUE(f.Option2.value());
  EXPECT_EQ(f.Check1.value(), 1);
  EXPECT_EQ(f.top, 300);
  EXPECT_EQ(f.V1.value(), 0);
  EXPECT_EQ(f.VolSet.text(), "0");
  EXPECT_EQ(f.OnHour.value(), 0);  // the good values still count
  ASSERT_EQ(h.dialogs.shown.size(), 1u);
  EXPECT_EQ(h.dialogs.shown[0].text,
            "Horatone.ini: OPTION2 = \"maybe\" is not valid; using \"1\".\r\n"
            "Horatone.ini: CHECK1 = \"3\" is not valid; using \"1\".\r\n"
            "Horatone.ini: TOP = \"\" is not valid; using \"300\".\r\n"
            "Horatone.ini: VOLSET = \"-3001\" is not valid; using \"0\".");
  EXPECT_FALSE(f.ended());
}

TEST(StartUp, ASettingsFileThatCannotBeReadIsNamedWithTheReasonAndTheDefaultsHold) {
  Harness h;
  // A FIFO: no writer would ever come, and a blocking read would hang start-up.
  ASSERT_EQ(::mkfifo((h.dir.path() / "Horatone.ini").c_str(), 0600), 0);
  Form1& f = h.Start();
  EXPECT_FALSE(f.ended());
  EXPECT_TRUE(f.Option2.value() && f.Option3.value());
  ASSERT_EQ(h.dialogs.shown.size(), 1u);
  EXPECT_EQ(h.dialogs.shown[0].text, (h.dir.path() / "Horatone.ini").string() +
                                         ": not a regular file (a FIFO); not read; using the "
                                         "defaults.");
  // Save does not replace what it could not read.
  f.Command5.Click();
  EXPECT_EQ(h.dialogs.shown.size(), 2u);
  EXPECT_TRUE(std::filesystem::is_fifo(h.dir.path() / "Horatone.ini"));
}

TEST(StartUp, ReloadingReadsTheFileAgainAndAnUnreadableFileChangesNothing) {
  Harness h;
  h.WriteSettings("[SETTINGS]\r\nDTMFTIME=456\r\n");
  Form1& f = h.Start();
  std::vector<std::string> log;
  f.log = [&log](const std::string& line) { log.push_back(line); };
  h.WriteSettings("[SETTINGS]\r\nDTMFTIME=789\r\nTEXT27=Zeit\r\n");
  f.ReloadSettings();
  EXPECT_EQ(f.DTMFTime.text(), "789");
  EXPECT_EQ(f.Command29.caption(), "Zeit");  // the captions follow at once
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0], "settings: DTMFTIME \"456\" -> \"789\"");
  std::filesystem::remove(h.dir.path() / "Horatone.ini");
  ASSERT_EQ(::mkfifo((h.dir.path() / "Horatone.ini").c_str(), 0600), 0);
  f.ReloadSettings();
  EXPECT_EQ(f.DTMFTime.text(), "789");
  EXPECT_EQ(log.back().rfind("settings not reloaded: ", 0), 0u) << log.back();
}

TEST(Save, WritesAll66KeysInTableOrderAndASecondStartReadsTheSameState) {
  Harness h;
  Form1& f = h.Start();
  f.Option1.set_value(true);
  f.Check2.set_value(0);
  f.Text6.set_text("C:\\HoraVoice\\F_UK\\");
  f.LanguageText(27).set_text("Zeit sagen & mehr");
  f.V1.set_value(-700);
  f.left = 4410;
  f.Command5.Click();

  // The record's keys in their one order, written out here rather than taken from the table
  // under test.
  std::vector<std::string> keys = {"FILELOCATION", "VOLSET"};
  for (int n = 1; n <= 10; ++n) keys.push_back("OPTION" + std::to_string(n));
  for (const char* key : {"ONHOUR", "QUARTERHOUR", "HALFHOUR", "DTMFTIME", "AMPM", "OPTIONWAV",
                          "OPTIONMP3", "CHECK1", "CHECK2"}) {
    keys.push_back(key);
  }
  for (int n = 4; n <= 8; ++n) keys.push_back("TEXT" + std::to_string(n));
  for (int n = 11; n <= 20; ++n) keys.push_back("OPTION" + std::to_string(n));
  for (int n = 9; n <= 36; ++n) keys.push_back("TEXT" + std::to_string(n));
  keys.push_back("LEFT");
  keys.push_back("TOP");
  ASSERT_EQ(keys.size(), 66u);
  const std::string file = h.ReadSettingsFile();
  std::string written;
  for (size_t at = 0; (at = file.find("\r\n", at)) != std::string::npos; at += 2) {
    const size_t end = file.find('=', at);
    if (end != std::string::npos) written += file.substr(at + 2, end - at - 2) + " ";
  }
  std::string expected;
  for (const std::string& key : keys) expected += key + " ";
  EXPECT_EQ(file.rfind("[SETTINGS]\r\n", 0), 0u);
  EXPECT_EQ(written, expected);
  EXPECT_NE(file.find("\r\nOPTION1=True\r\nOPTION2=False\r\n"), std::string::npos);
  EXPECT_NE(file.find("\r\nCHECK2=0\r\n"), std::string::npos);
  EXPECT_NE(file.find("\r\nVOLSET=-700\r\n"), std::string::npos);
  EXPECT_NE(file.find("\r\nLEFT=4410\r\nTOP=300\r\n"), std::string::npos);

  Harness again;
  again.WriteSettings(file);
  Form1& g = again.Start();
  EXPECT_EQ(g.SettingsLines(), f.SettingsLines());
  EXPECT_EQ(g.Command29.caption(), "Zeit sagen & mehr");
}

TEST(Save, AFailedSaveIsReportedAndWritesNothing) {
  Harness h;
  Form1& f = h.Start();
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
  const MessageBoxRequest& asked = h.dialogs.shown.back();
  EXPECT_EQ(asked.text, "Quit Program - Are You Sure ? Remember To Save Any Changes  ");
  EXPECT_EQ(asked.title, "Exit Program");
  EXPECT_EQ(asked.buttons, MsgButtons::kYesNo);
  EXPECT_FALSE(f.ended());
  EXPECT_EQ(f.PTT.caption(), "PTT ON");
  EXPECT_EQ(h.node.calls().size(), calls);

  EXPECT_TRUE(f.QueryUnload());
  EXPECT_TRUE(f.ended() && h.end.ended);
  EXPECT_EQ(f.PTT.caption(), "PTT OFF");
  EXPECT_EQ(f.PTT.fore_colour(), kColourGreen);
  EXPECT_EQ(h.node.calls().back().what, "Transmit 0");
  EXPECT_FALSE(std::filesystem::exists(h.dir.path() / "Horatone.ini"));
}

TEST(Ending, SaveAndExitSavesThenReleasesTheTransmitter) {
  Harness h;
  Form1& f = h.Start();
  ASSERT_TRUE(f.echolink()->Transmit(true));
  f.SaveAndExit.Click();
  EXPECT_TRUE(f.ended());
  EXPECT_FALSE(h.node.keyed());
  EXPECT_EQ(f.PTT.caption(), "PTT OFF");
  EXPECT_NE(h.ReadSettingsFile().find("TOP=300"), std::string::npos);
}

TEST(Ending, NoHandlerRunsAfterTheEnd) {
  Harness h;
  Form1& f = h.Start();
  h.node.Close();
  EXPECT_TRUE(f.ended());
  const size_t calls = h.node.calls().size();
  h.loop.AdvanceBy(5000);
  f.Command29.Click();
  EXPECT_EQ(h.node.calls().size(), calls);
}

}  // namespace
}  // namespace horatone
