// The voice refresh as the operator sees it; the window test follows a folder being typed,
// here is what else holds.
#include <gtest/gtest.h>

#include "test_support/announcing.h"

namespace horatone {
namespace {

TEST(VoiceRefresh, TheChosenVoiceSetsTheActiveFolderAndFormatAndABlankFolderCounts) {
  Harness h;
  Form1& f = h.Start();
  h.loop.AdvanceBy(100);
  EXPECT_TRUE(f.Option3.enabled());
  EXPECT_FALSE(f.Option4.enabled() || f.Option7.enabled() || f.Option8.enabled());
  f.Text6.set_text(" ");
  f.Text7.set_text("C:\\HoraVoice\\M_UK\\");
  f.Option18.set_value(true);  // voice 4 in mp3, not chosen yet
  h.loop.AdvanceBy(100);
  EXPECT_TRUE(f.Option7.enabled());
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

  // With no voice chosen the stored folder and format stay.
  Harness stored;
  stored.WriteSettings("[SETTINGS]\nOPTION3=0\nFILELOCATION=/srv/voice/\nOPTIONMP3=1\n");
  Form1& g = stored.Start();
  stored.loop.AdvanceBy(500);
  EXPECT_EQ(g.FileLocation.text(), "/srv/voice/");
  EXPECT_TRUE(g.OptionMP3.value());
}

}  // namespace
}  // namespace horatone
