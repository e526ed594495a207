// The voice check on folders made in the test, and on a voice made by tools/make-voices.
#include "platform/audio/voice_check.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "announce/clip_names.h"
#include "platform/audio/audio_files.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

class VoiceCheckTest : public ::testing::Test {
 protected:
  VoiceCheckTest() : mapper_(dir_.path()) {}

  // A complete voice of short tones under C/HoraVoice/Test.
  void MakeVoice(const std::string& extension, int format) {
    folder_ = dir_.path() / "C" / "HoraVoice" / "Test";
    std::filesystem::create_directories(folder_);
    for (std::string_view name : clips::kAll) {
      ASSERT_TRUE(testing::WriteClip(folder_ / (std::string(name) + "." + extension),
                                     testing::Tone(8000, 1, 0.05, 440), format));
    }
  }

  int Check(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    return CheckVoiceCommand(args, out_, err_, mapper_);
  }

  TempDir dir_;
  PathMapper mapper_;
  std::filesystem::path folder_;
  std::ostringstream out_, err_;
};

TEST_F(VoiceCheckTest, ACompleteVoiceSpeaksEveryMinuteInBothForms) {
  MakeVoice("mp3", testing::kMp3);
  // Written as the operator does, in another letter case than on disk.
  EXPECT_EQ(Check({"C:\\horavoice\\TEST\\", "mp3"}), 0) << out_.str();
  EXPECT_NE(out_.str().find("71 of 71 clips"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("12-hour: every minute of the day can be spoken"), std::string::npos);
  EXPECT_NE(out_.str().find("24-hour: every minute of the day can be spoken"), std::string::npos);
  EXPECT_EQ(Check({"C:\\HoraVoice\\Test\\", "wav"}), 1);  // the same folder has no WAV clips
}

TEST_F(VoiceCheckTest, MissingAndUnreadableClipsAreListedWithTheMinutesTheyCost) {
  MakeVoice("wav", testing::kWav16);
  std::filesystem::remove(folder_ / "37.wav");
  testing::WriteBytes(folder_ / "PM.wav", "RIFF");
  std::filesystem::remove(folder_ / "DingDong2.wav");

  const VoiceCheckResult result = CheckVoiceFolder("C:\\HoraVoice\\Test", "wav", mapper_);
  EXPECT_EQ(result.missing, (std::vector<std::string>{"DingDong2.wav", "37.wav"}));
  ASSERT_EQ(result.unreadable.size(), 1u);
  EXPECT_TRUE(result.unreadable[0].starts_with("PM.wav: ")) << result.unreadable[0];
  // 24-hour: every hour loses its minute 37. 12-hour: every afternoon minute, and minute 37
  // of each morning hour.
  EXPECT_EQ(result.minutes_24_hour, 1440 - 24);
  EXPECT_EQ(result.first_silent_24_hour, "00:37");
  EXPECT_EQ(result.minutes_12_hour, 1440 - 720 - 12);
  EXPECT_EQ(result.first_silent_12_hour, "00:37");

  EXPECT_EQ(Check({"C:\\HoraVoice\\Test\\"}), 1);
  EXPECT_NE(out_.str().find("missing: 37.wav"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("68 of 71 clips"), std::string::npos);
}

TEST_F(VoiceCheckTest, WrongArgumentsGiveUsage) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"C:\\F\\", "ogg"}}) {
    EXPECT_EQ(Check(args), 2);
    EXPECT_NE(err_.str().find("usage: horatone check-voice FOLDER [wav|mp3]"), std::string::npos);
  }
}

// Makes one voice with the generator, as a user would, and checks it; a second run has
// nothing to do.
TEST_F(VoiceCheckTest, TheGeneratedVoicePassesTheCheck) {
  if (std::system("command -v espeak-ng >/dev/null && command -v sox >/dev/null && command -v lame "
                  ">/dev/null") != 0) {
    GTEST_SKIP() << "espeak-ng, sox or lame is not installed";
  }
  const std::string tool = std::string(HORATONE_SOURCE_DIR) + "/tools/make-voices";
  const std::string command = "'" + tool + "' '" + dir_.path().string() + "' F > '" +
                              (dir_.path() / "log").string() + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << testing::ReadBytes(dir_.path() / "log");
  EXPECT_EQ(Check({"C:\\HoraVoice\\F\\", "wav"}), 0) << out_.str();

  // Spoken clips are trimmed and levelled; the two chimes differ.
  const auto clip = [&](const char* name) {
    return testing::ReadClip(dir_.path() / "C/HoraVoice/F" / name);
  };
  for (const char* name : {"TheTimeIs.wav", "05.wav", "59.wav", "PM.wav"}) {
    const testing::Samples s = clip(name);
    ASSERT_GT(s.frames(), s.rate / 4) << name;
    EXPECT_LT(s.frames(), s.rate * 2) << name;
    EXPECT_GT(std::abs(s.data[s.rate / 100]), 0.0f) << name << " starts with silence";
    double sum = 0;
    for (float v : s.data) sum += v * v;
    EXPECT_NEAR(10 * std::log10(sum / static_cast<double>(s.data.size())), -20.5, 1.5) << name;
  }
  EXPECT_NE(clip("DingDong.wav").data, clip("DingDong2.wav").data);

  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_NE(testing::ReadBytes(dir_.path() / "log").find("up to date"), std::string::npos);
}

}  // namespace
}  // namespace horatone
