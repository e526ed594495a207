// The voice refresh and the caption refresh, seen as the operator sees them.
#include <gtest/gtest.h>

#include "test_support/announcing.h"

namespace horatone {
namespace {

// The window test follows a folder being typed and cleared; here, what else holds.
TEST(VoiceRefresh, OnlyVoice1StartsChoosableAndABlankFolderCounts) {
  Harness h;
  Form1& f = h.Start();
  h.loop.AdvanceBy(100);
  EXPECT_TRUE(f.Option3.enabled());
  EXPECT_FALSE(f.Option4.enabled() || f.Option7.enabled() || f.Option8.enabled() ||
               f.Option10.enabled());
  EXPECT_EQ(f.FileLocation.text(), "C:\\Program Files\\Horatone\\");
  f.Text6.set_text(" ");
  h.loop.AdvanceBy(100);
  EXPECT_TRUE(f.Option7.enabled());
}

TEST(VoiceRefresh, TheChosenVoiceSetsTheActiveFolderAndFormat) {
  Harness h;
  Form1& f = h.Start();
  f.Text7.set_text("C:\\HoraVoice\\M_UK\\");
  f.Option18.set_value(true);  // voice 4 in mp3, not chosen yet
  h.loop.AdvanceBy(100);
  EXPECT_TRUE(f.OptionWAV.value());
  f.Option8.set_value(true);
  h.loop.AdvanceBy(100);
  EXPECT_EQ(f.FileLocation.text(), "C:\\HoraVoice\\M_UK\\");
  EXPECT_TRUE(f.OptionMP3.value());
  f.Text7.set_text("");  // the chosen voice loses its folder: paths become bare names
  h.loop.AdvanceBy(100);
  EXPECT_TRUE(f.Option8.value());
  EXPECT_FALSE(f.Option8.enabled());
  EXPECT_EQ(f.FileLocation.text(), "");
}

TEST(VoiceRefresh, WithNoVoiceChosenTheStoredFolderAndFormatStay) {
  Harness h;
  h.WriteSettings("[SETTINGS]\nOPTION3=0\nFILELOCATION=/srv/voice/\nOPTIONMP3=1\n");
  Form1& f = h.Start();
  h.loop.AdvanceBy(500);
  EXPECT_EQ(f.FileLocation.text(), "/srv/voice/");
  EXPECT_TRUE(f.OptionMP3.value());
  f.Command9.Click();
  EXPECT_TRUE(f.Option11.value());
}

// Renaming as the operator sees it is the window test's; here, what else holds.
TEST(CaptionRefresh, OneTextRenamesAllItsCaptionsLeavesValuesAndIsGoneUnsaved) {
  Harness h;
  Form1& f = h.Start();
  EXPECT_EQ(f.HalfHour.caption(), "Half Hour");
  f.LanguageText(27).set_text("Zeit ansagen");
  f.LanguageText(18).set_text("");
  const bool checked = f.Check1.value();
  h.loop.AdvanceBy(500);
  EXPECT_EQ(f.Option7.caption(), "");
  EXPECT_EQ(f.Frame8.caption(), "");
  EXPECT_EQ(f.Check1.value(), checked);
  Harness again;
  EXPECT_EQ(again.Start().Command29.caption(), "Say The Time");
}

}  // namespace
}  // namespace horatone
