// Clips put in a voice from outside the window: where they may go, what is refused (and that a
// refusal changes nothing), the backup of the clip replaced, and the owner's mode kept.
#include "ui/web/voice_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "sound/audio_files.h"
#include "sound/voice_check.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

using testing::Samples;

class VoiceFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    voice_ = dir_.path() / "C" / "Voice";
    std::filesystem::create_directories(voice_);
    ASSERT_TRUE(testing::WriteClip(voice_ / "Hour.wav", testing::Tone(22050, 1, 0.3, 440)));
    ::chmod((voice_ / "Hour.wav").c_str(), 0640);
    old_ = ReadFile(voice_ / "Hour.wav");
  }

  static std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::string Bytes(const Samples& s, int format = testing::kWav16) {
    const std::filesystem::path file = dir_.path() / "made";
    EXPECT_TRUE(testing::WriteClip(file, s, format));
    std::string bytes = ReadFile(file);
    std::filesystem::remove(file);
    return bytes;
  }

  Result<std::string> Put(const std::string& name, const std::string& bytes, bool recording = false,
                          const std::string& format = "wav") {
    return PutClipInVoice(ClipOffer{"C:\\Voice", format, name, bytes, recording},
                          PathMapper(dir_.path()));
  }

  // What the folder holds beside the clips of SetUp: nothing left behind by a refusal.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(voice_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
  std::filesystem::path voice_;
  std::string old_;
};

TEST_F(VoiceFiles, AFolderOutsideTheSystemDirectoryIsRefused) {
  const PathMapper mapper(dir_.path());
  EXPECT_TRUE(VoiceFolderInRoot("C:\\Voice\\", mapper, true));
  EXPECT_TRUE(VoiceFolderInRoot("C:\\HoraVoice\\New", mapper, false));
  EXPECT_FALSE(VoiceFolderInRoot("C:\\HoraVoice\\New", mapper, true)) << "not there yet";
  for (const std::string& outside :
       {std::string("C:\\..\\..\\etc"), std::string("C:/Voice/../../x"), std::string("/etc"),
        std::string("/tmp"), dir_.path().string(), std::string("")}) {
    const Result<std::filesystem::path> place = VoiceFolderInRoot(outside, mapper, false);
    EXPECT_FALSE(place) << outside << " -> " << (place ? place->string() : "");
    if (!place) {
      EXPECT_EQ(place.status().kind, StatusKind::kBadInput);
    }
  }
  // A link inside that points out is followed, and refused.
  TempDir elsewhere;
  std::filesystem::create_directory_symlink(elsewhere.path(), dir_.path() / "C" / "Out");
  EXPECT_FALSE(VoiceFolderInRoot("C:\\Out", mapper, true));
  EXPECT_FALSE(VoiceFolderInRoot("C:\\Out\\Deeper", mapper, false));
  // An absolute path that is inside is as good as the drive form.
  EXPECT_TRUE(VoiceFolderInRoot(voice_.string(), mapper, true));
}

TEST_F(VoiceFiles, AClipReplacesTheOldOneWhichIsKeptWithItsMode) {
  const std::string bytes = Bytes(testing::Tone(48000, 1, 0.5, 1000));
  const Result<std::string> put = Put("Hour", bytes);
  ASSERT_TRUE(put) << put.message();
  EXPECT_NE(put->find("Hour.wav.bak"), std::string::npos) << *put;
  EXPECT_EQ(ReadFile(voice_ / "Hour.wav"), bytes);
  EXPECT_EQ(ReadFile(voice_ / "Hour.wav.bak"), old_);
  struct stat info {};
  ASSERT_EQ(::stat((voice_ / "Hour.wav").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(Names(), (std::vector<std::string>{"Hour.wav", "Hour.wav.bak"}));

  // Again: the backup is the clip just replaced, not the first one.
  const std::string third = Bytes(testing::Tone(48000, 1, 0.4, 700));
  ASSERT_TRUE(Put("Hour", third));
  EXPECT_EQ(ReadFile(voice_ / "Hour.wav.bak"), bytes);

  // A clip new to the folder takes the folder's mode, without execute bits.
  ::chmod(voice_.c_str(), 0750);
  ASSERT_TRUE(Put("Minutes", bytes));
  ASSERT_EQ(::stat((voice_ / "Minutes.wav").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_FALSE(std::filesystem::exists(voice_ / "Minutes.wav.bak"));
}

TEST_F(VoiceFiles, WhatIsNotAVoicesClipIsRefusedByFieldAndChangesNothing) {
  const std::string tone = Bytes(testing::Tone(48000, 1, 0.5, 1000));
  struct Case {
    std::string name, bytes, format, field;
    bool recording;
  };
  const std::vector<Case> cases = {
      {"Hour", "not a sound at all", "wav", "file:", false},
      {"Hour", std::string("RIFF\x10\x00\x00\x00WAVEjunk", 16), "wav", "file:", false},
      {"Hour", "", "wav", "file:", false},
      {"Hour", Bytes(testing::Tone(8000, 1, kLongestVoiceClipSeconds + 1, 300)), "wav",
       "file:", false},
      {"Hour", Bytes(testing::Tone(48000, 1, 0.5, 1000), testing::kMp3), "wav", "file:", false},
      {"Hour", tone, "mp3", "file:", false},  // a WAV for a voice of MP3 clips
      {"Hours", tone, "wav", "name:", false},
      {"../Hour", tone, "wav", "name:", false},
      {"Hour", Bytes(testing::Level(48000, 1, 48000, 0.0f)), "wav", "recording:", true},
      {"Hour", Bytes(testing::Level(48000, 1, 48000, 0.001f)), "wav", "recording:", true},
  };
  for (const Case& c : cases) {
    const Result<std::string> put = Put(c.name, c.bytes, c.recording, c.format);
    ASSERT_FALSE(put) << c.field << " " << c.name;
    EXPECT_EQ(put.status().kind, StatusKind::kBadInput) << put.message();
    EXPECT_EQ(put.message().rfind(c.field, 0), 0u) << put.message();
    EXPECT_EQ(ReadFile(voice_ / "Hour.wav"), old_) << put.message();
    EXPECT_EQ(Names(), std::vector<std::string>{"Hour.wav"}) << put.message();
  }
  // A voice whose folder is not there, or lies outside.
  EXPECT_EQ(
      PutClipInVoice(ClipOffer{"C:\\Gone", "wav", "Hour", tone, false}, PathMapper(dir_.path()))
          .message()
          .rfind("voice:", 0),
      0u);
  EXPECT_FALSE(
      PutClipInVoice(ClipOffer{"/tmp", "wav", "Hour", tone, false}, PathMapper(dir_.path())));
}

TEST_F(VoiceFiles, AnMp3GoesIntoAVoiceOfMp3Clips) {
  const std::string mp3 = Bytes(testing::Tone(48000, 1, 0.5, 1000), testing::kMp3);
  ASSERT_TRUE(Put("Hour", mp3, false, "mp3"));
  EXPECT_EQ(ReadFile(voice_ / "Hour.mp3"), mp3);
  EXPECT_EQ(ReadFile(voice_ / "Hour.wav"), old_) << "the WAV voice's clip stays";
}

TEST(VoiceCheckLength, AClipLongerThanAVoicesClipIsAProblem) {
  const Samples tone = testing::Tone(8000, 1, kLongestVoiceClipSeconds + 0.5, 300);
  DecodedClip clip;
  clip.sample_rate = tone.rate;
  clip.channels = tone.channels;
  clip.frames = tone.frames();
  clip.samples = tone.data;
  const ClipLevels levels = MeasureClip("Hour.wav", clip);
  ASSERT_FALSE(levels.problems.empty());
  EXPECT_NE(levels.problems.front().find("more than a voice's clip"), std::string::npos);
}

}  // namespace
}  // namespace horatone
