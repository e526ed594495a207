// Decoding clip files: the files that must fail with a clear message, the length limits, the
// cache, and a few hundred mangled files that must neither crash nor hang. (What decodes is
// heard sample for sample in the audio engine's tests.)
#include "sound/clip_decoder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <random>

#include "sound/audio_files.h"
#include "test_support/temp_dir.h"

namespace horatone {
namespace {

using testing::kMp3;
using testing::kWav16;
using testing::Samples;

// mpg123 describes every damaged frame on stderr; that is noise here.
struct QuietStderr {
  int saved = dup(2), null = open("/dev/null", O_WRONLY);
  QuietStderr() { dup2(null, 2), close(null); }
  ~QuietStderr() { dup2(saved, 2), close(saved); }
};

class ClipDecoderTest : public ::testing::Test {
 protected:
  std::filesystem::path File(const std::string& name) const { return dir_.path() / name; }
  // Decoding `name` fails, naming the file and `why`, and gives no clip.
  void ExpectRefused(const std::string& name, const std::string& why = "") {
    const ClipResult clip = DecodeClipFile(File(name));
    EXPECT_FALSE(clip) << name;
    EXPECT_NE(clip.message().find(File(name).string()), std::string::npos) << clip.message();
    EXPECT_NE(clip.message().find(why), std::string::npos) << clip.message();
  }
  TempDir dir_;
};

TEST_F(ClipDecoderTest, FilesThatCannotBePlayedFailNamingTheFile) {
  const Samples tone = testing::Tone(22050, 1, 0.5, 440);
  ASSERT_TRUE(testing::WriteClip(File("good.wav"), tone));
  ASSERT_TRUE(testing::WriteClip(File("good.mp3"), tone, kMp3));
  const std::string wav = testing::ReadBytes(File("good.wav"));
  const std::string mp3 = testing::ReadBytes(File("good.mp3"));
  testing::WriteBytes(File("empty.wav"), "");
  testing::WriteBytes(File("text.wav"), "This is not a sound, it is a note to myself.\n");
  testing::WriteBytes(File("cut.wav"), wav.substr(0, wav.size() / 2));
  testing::WriteBytes(File("cut.mp3"), mp3.substr(0, mp3.size() / 3));
  ASSERT_TRUE(testing::WriteClip(File("silent.wav"), Samples{22050, 1, {}}));  // header, no frames

  QuietStderr quiet;
  for (const char* name :
       {"missing.wav", "empty.wav", "text.wav", "cut.wav", "cut.mp3", "silent.wav"})
    ExpectRefused(name);
}

// A 16-bit mono PCM WAV of `data_bytes` of silence, sparse: it takes no room on the disk.
void WriteSparseWav(const std::filesystem::path& file, int rate, std::uint32_t data_bytes) {
  std::string header = "RIFF";
  const auto put = [&header](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) header += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  put(36 + data_bytes, 4), header += "WAVEfmt ";
  put(16, 4), put(1, 2), put(1, 2), put(rate, 4), put(rate * 2, 4), put(2, 2), put(16, 2);
  header += "data", put(data_bytes, 4);
  testing::WriteBytes(file, header);
  std::filesystem::resize_file(file, header.size() + data_bytes);
}

TEST_F(ClipDecoderTest, ClipsLongerThanFiveMinutesOrLargerThanAClipAreRefusedUndecoded) {
  WriteSparseWav(File("five.wav"), 8000, 300 * 8000 * 2);
  WriteSparseWav(File("six.wav"), 8000, 360 * 8000 * 2);
  WriteSparseWav(File("huge.wav"), 22050, 500u << 20);  // 3.3 hours
  const ClipResult clip = DecodeClipFile(File("five.wav"));
  ASSERT_TRUE(clip) << clip.message();
  EXPECT_EQ((*clip)->Duration(), 300);
  ExpectRefused("six.wav", "360 seconds long, more than a clip");
  ExpectRefused("huge.wav", "500 MiB, more than a clip");
}

TEST_F(ClipDecoderTest, CacheServesUnchangedFilesAndNoticesChangedOrVanishedOnes) {
  ClipCache cache;
  const auto file = File("clip.wav");
  ASSERT_TRUE(testing::WriteClip(file, testing::Tone(22050, 1, 0.5, 440)));
  const ClipResult first = cache.Load(file);
  const ClipResult again = cache.Load(file);
  ASSERT_TRUE(first && again);
  EXPECT_EQ(*first, *again);  // the very same decoded clip

  ASSERT_TRUE(testing::WriteClip(file, testing::Tone(22050, 1, 0.75, 440)));
  std::filesystem::last_write_time(
      file, std::filesystem::last_write_time(file) + std::chrono::seconds(5));
  const ClipResult changed = cache.Load(file);
  ASSERT_TRUE(changed);
  EXPECT_NE(*changed, *first);
  EXPECT_EQ((*changed)->frames, testing::Tone(22050, 1, 0.75, 440).frames());

  std::filesystem::remove(file);
  EXPECT_NE(cache.Load(file).message().find("not found"), std::string::npos);
}

}  // namespace
}  // namespace horatone
