// The voice check on folders made in the test, and the generator's voices (tools/make-voices)
// against the rules for the air.
#include "sound/voice_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "announce/clip_names.h"
#include "sound/audio_files.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

class VoiceCheckTest : public ::testing::Test {
 protected:
  VoiceCheckTest() : mapper_(dir_.path()) {}

  // A tone as a careful recording would be: a short quiet lead, a fade-in, then the tone.
  static testing::Samples CleanTone(float amplitude = 0.5f, double lead_s = 0.003) {
    testing::Samples s = testing::Tone(8000, 1, 0.05, 440, amplitude);
    const size_t fade = 40;  // 5 ms
    for (size_t i = 0; i < fade; ++i) s.data[i] *= static_cast<float>(i) / fade;
    s.data.insert(s.data.begin(), static_cast<size_t>(lead_s * s.rate), 0.0f);
    return s;
  }

  // A complete voice of short tones under C/HoraVoice/Test.
  void MakeVoice(const std::string& extension, int format) {
    folder_ = dir_.path() / "C" / "HoraVoice" / "Test";
    std::filesystem::create_directories(folder_);
    for (std::string_view name : clips::kAll) {
      ASSERT_TRUE(
          testing::WriteClip(folder_ / (std::string(name) + "." + extension), CleanTone(), format));
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
  EXPECT_EQ(out_.str().find("to fix"), std::string::npos) << out_.str();
  EXPECT_EQ(Check({"C:\\HoraVoice\\Test\\", "wav"}), 1);  // the same folder has no WAV clips
}

TEST_F(VoiceCheckTest, ClipsThatWouldSoundBadOnAirAreFlaggedWithWhatToFix) {
  MakeVoice("wav", testing::kWav16);
  testing::Samples trailing = CleanTone();
  trailing.data.resize(trailing.data.size() + 4000, 0.0f);  // half a second after it
  for (const auto& [name, samples] :
       {std::pair{"05.wav", CleanTone(1.0f)},                          // at full scale: clipped
        std::pair{"17.wav", CleanTone(0.05f)},                         // 20 dB under the others
        std::pair{"Hour.wav", CleanTone(0.5f, 0.6)},                   // 0.6 s before the word
        std::pair{"AM.wav", testing::Tone(8000, 1, 0.05, 440, 0.8f)},  // no fade: a click
        std::pair{"PM.wav", trailing},
        std::pair{"Blank.wav", testing::Level(8000, 1, 2000, 0.0f)}}) {  // right for Blank
    ASSERT_TRUE(testing::WriteClip(folder_ / name, samples));
  }

  EXPECT_EQ(Check({"C:\\HoraVoice\\Test\\"}), 0) << out_.str();  // complete, so it speaks
  const std::string text = out_.str();
  for (const char* line :
       {"to fix: 05.wav: peak 0.0 dBFS: clipped",
        "to fix: 17.wav: RMS -29.3 dBFS, 20.0 dB quieter than the voice's usual -9.3",
        "to fix: Hour.wav: 0.60 s of silence before the sound", "to fix: AM.wav: starts abruptly",
        "to fix: PM.wav: 0.50 s of silence after the sound", "5 clips will sound bad on air"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
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
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"C:\\F\\", "ogg"}}) {
    EXPECT_EQ(Check(args), 2);  // wrong arguments
    EXPECT_NE(err_.str().find("usage: horatone check-voice FOLDER [wav|mp3]"), std::string::npos);
  }
}

bool Installed(const std::string& tools) {
  return std::system(
             ("for t in " + tools + "; do command -v $t >/dev/null || exit 1; done").c_str()) == 0;
}

// Runs the generator with `args`; its output goes to the log.
int Generate(const std::filesystem::path& dir, const std::string& args) {
  return std::system(("'" HORATONE_SOURCE_DIR "/tools/make-voices' " + args + " > '" +
                      (dir / "log").string() + "' 2>&1")
                         .c_str());
}

// A few clips of the English default voice, as the ready-made voices are made: each one starts
// quietly, carries almost no silence, and sits at the voice's one loudness under the ceiling,
// at the output's rate, so that no sample reaches the air above -1 dBFS, as WAV or as MP3.
TEST_F(VoiceCheckTest, TheGeneratedEnglishClipsAreFitForTheAir) {
  if (!Installed("sox lame bc flite")) GTEST_SKIP() << "the generator's tools are missing";
  const std::string out = (dir_.path() / "en").string();
  const std::string args = "--out '" + out +
                           "' --language en --format both --clips 'DingDong TheTimeIs 05 17 "
                           "Hour Minutes AM'";
  ASSERT_EQ(Generate(dir_.path(), args), 0) << testing::ReadBytes(dir_.path() / "log");

  for (const ClipLevels& c : CheckVoiceFolder(out + "/", "mp3", mapper_).clips) {
    EXPECT_LE(c.peak_db, -1.0) << c.file_name;
  }
  const VoiceCheckResult result = CheckVoiceFolder(out + "/", "wav", mapper_);
  ASSERT_EQ(result.clips.size(), 7u);
  double quietest = 0, loudest = -100;
  for (const ClipLevels& c : result.clips) {
    SCOPED_TRACE(c.file_name);
    EXPECT_TRUE(c.problems.empty()) << c.problems.front();
    EXPECT_TRUE(c.channels == 1 && c.sample_rate == 48000 && c.start_db <= -40 &&
                c.peak_db <= -1.0)
        << c.sample_rate << " Hz, peak " << c.peak_db;
    if (c.file_name == "DingDong.wav") {
      // the pause between the bell and "the time is"
      EXPECT_TRUE(c.trail_s >= 0.1 && c.trail_s <= 0.4) << c.trail_s;
      continue;
    }
    EXPECT_TRUE(c.peak_db >= -3 && c.trail_s <= 0.030) << c.peak_db << " " << c.trail_s;
    EXPECT_LE(c.lead_s + c.trail_s, 0.040);  // the silence at a join between two words
    quietest = std::min(quietest, c.rms_db);
    loudest = std::max(loudest, c.rms_db);
  }
  EXPECT_LE(loudest - quietest, 3);

  ASSERT_EQ(Generate(dir_.path(), args), 0);
  EXPECT_NE(testing::ReadBytes(dir_.path() / "log").find("up to date"), std::string::npos);
}

// The schedule's clips belong to the voice once the settings name them: a missing one fails
// the check like a missing hour; the generator makes them, a callsign spelled and a message
// said, levelled as the voice's own clips, without touching the voice's stamp.
TEST_F(VoiceCheckTest, TheScheduleClipsAreCheckedAndTheGeneratorMakesThem) {
  MakeVoice("wav", testing::kWav16);
  std::ofstream(dir_.path() / "Horatone.ini")
      << "[SETTINGS]\r\n[SCHEDULE]\r\nIDCLIP=Ident\r\nMESSAGE2=Net;Mon;20:00\r\n"
         "MESSAGE3=../../x;Mon;20:00\r\n";
  EXPECT_EQ(Check({"C:\\HoraVoice\\Test\\"}), 1);
  EXPECT_NE(out_.str().find("missing: Ident.wav"), std::string::npos) << out_.str();
  EXPECT_NE(out_.str().find("missing: Net.wav"), std::string::npos);
  EXPECT_NE(out_.str().find("Ident.wav (SCHEDULE.IDCLIP)"), std::string::npos);
  EXPECT_NE(out_.str().find("71 of 73 clips"), std::string::npos);
  EXPECT_EQ(out_.str().find("../"), std::string::npos);  // a refused value names no clip

  if (!Installed("sox lame bc flite espeak-ng")) GTEST_SKIP() << "the generator's tools are missing";
  const std::string out = folder_.string();
  ASSERT_EQ(Generate(dir_.path(), "--out '" + out + "' --language en --callsign Ident DL1ABC/P"), 0)
      << testing::ReadBytes(dir_.path() / "log");
  ASSERT_EQ(Generate(dir_.path(), "--out '" + out + "' --language de --say Net 'Rundspruch heute'"),
            0);
  EXPECT_NE(Generate(dir_.path(), "--out '" + out + "' --language en --callsign ../x K1"), 0);
  EXPECT_NE(Generate(dir_.path(), "--out '" + out + "' --language en --callsign X 'K1;ls'"), 0);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "X.wav"));
  EXPECT_EQ(Check({"C:\\HoraVoice\\Test\\"}), 0) << out_.str();
  EXPECT_NE(out_.str().find("73 of 73 clips"), std::string::npos);
  const VoiceCheckResult result =
      CheckVoiceFolder("C:\\HoraVoice\\Test\\", "wav", mapper_, {"Ident", "Net"});
  for (const ClipLevels& c : result.clips) {
    if (c.file_name != "Ident.wav" && c.file_name != "Net.wav") continue;
    EXPECT_TRUE(c.peak_db <= -1.0 && c.start_db <= -40) << c.file_name << " " << c.peak_db;
    // Eight spelled words take a while: a spelled callsign, not one word.
    if (c.file_name == "Ident.wav") {
      EXPECT_GT(c.seconds, 3.0);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(folder_ / ".horatone-voice"));
}

}  // namespace
}  // namespace horatone
