// The radio's settings: section [RIG] of the settings file, the command line over it, and bad
// values named with where they came from while the rest still applies.
#include "node/rig/rig_settings.h"

#include <gtest/gtest.h>

#include "runtime/ini_profile_file.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

class RigSettingsTest : public ::testing::Test {
 protected:
  void Write(const std::string& text) { testing::WriteBytes(dir_.path() / "Horatone.ini", text); }
  RigSettings Load(const std::map<std::string, std::string>& command_line = {}) {
    problems_.clear();
    return LoadRigSettings(profile_, command_line, &problems_);
  }

  TempDir dir_;
  PathMapper mapper_{dir_.path()};
  IniProfileFile profile_{mapper_, "Horatone.ini"};
  std::vector<std::string> problems_;
};

TEST_F(RigSettingsTest, TheRigSectionIsReadTheCommandLineWinsAndBadValuesAreNamed) {
  Write(
      "[SETTINGS]\nMODEL=7\nTXDELAY=999\n[rig]\nmodel=2\nRigFile=127.0.0.1:4532\n"
      "PTTTYPE=cm108\nDCDTYPE=none\nTXDELAY=250\nBUSYWAIT=20\n");
  RigSettings s = Load();
  EXPECT_EQ(s.model, 2);
  EXPECT_EQ(s.rig_file, "127.0.0.1:4532");
  EXPECT_EQ(s.ptt_type, "CM108");  // Hamlib's own spelling
  EXPECT_EQ(s.dcd_type, "None");
  EXPECT_EQ(s.tx_delay_ms, 250);
  EXPECT_EQ(s.busy_wait_s, 20);
  EXPECT_EQ(s.hang_ms, 200);  // not given: the default
  EXPECT_TRUE(problems_.empty());

  // rigctl's letters and the long names reach the same keys.
  s = Load({{RigKeyForOption("-m"), "1"}, {RigKeyForOption("--tx-delay"), "0"}});
  EXPECT_STREQ(RigKeyForOption("-m"), RigKeyForOption("--rig-model"));
  EXPECT_EQ(s.model, 1);
  EXPECT_EQ(s.tx_delay_ms, 0);
  EXPECT_EQ(s.rig_file, "127.0.0.1:4532");

  // A bad value keeps its default and is named with its source; the rest applies.
  Write("[RIG]\nTXDELAY=3000\nPTTTYPE=VOX\nTIMEOUT=sixty\nHANGTIME=150\n");
  s = Load({{"DTMFPAUSE", "5"}});
  EXPECT_EQ(s.tx_delay_ms, 300);
  EXPECT_EQ(s.ptt_type, "");
  EXPECT_EQ(s.timeout_s, 60);
  EXPECT_EQ(s.dtmf_pause_ms, 2000);
  EXPECT_EQ(s.hang_ms, 150);
  ASSERT_EQ(problems_.size(), 4u);
  EXPECT_NE(problems_[0].find("PTTTYPE=VOX in [RIG]"), std::string::npos) << problems_[0];
  EXPECT_NE(problems_[1].find("TXDELAY=3000"), std::string::npos) << problems_[1];
  EXPECT_NE(problems_[3].find("--dtmf-pause 5"), std::string::npos) << problems_[3];
}

}  // namespace
}  // namespace horatone
