// Clip files as they may be found in a voice folder, whole or mangled: decoding either
// refuses the file with a reason or gives a clip the mixer can trust (one or two channels,
// a sane rate, as many samples as the frames say), and the cache gives the same answer.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>

#include "fuzz_support.h"
#include "sound/clip_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the extension, as the voice's format would.
  const std::filesystem::path file =
      horatone::fuzz::ScratchDir() / ((data[0] & 1) ? "clip.mp3" : "clip.wav");
  std::filesystem::remove(file);
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(data) + 1, static_cast<std::streamsize>(size - 1));

  const horatone::ClipResult decoded = horatone::DecodeClipFile(file);
  if (!decoded) {
    FUZZ_CHECK(!decoded.message().empty());
  } else {
    const std::shared_ptr<const horatone::DecodedClip>& clip = *decoded;
    FUZZ_CHECK(clip != nullptr);
    FUZZ_CHECK(clip->channels == 1 || clip->channels == 2);
    FUZZ_CHECK(clip->sample_rate >= 4000 && clip->sample_rate <= 768000);
    FUZZ_CHECK(clip->frames >= 0);
    FUZZ_CHECK(clip->samples.size() == static_cast<std::size_t>(clip->frames * clip->channels));
    FUZZ_CHECK(std::isfinite(clip->Duration()));
  }

  horatone::ClipCache cache;
  const horatone::ClipResult cached = cache.Load(file);
  FUZZ_CHECK(cached.ok() == decoded.ok());
  if (decoded) FUZZ_CHECK((*cached)->frames == (*decoded)->frames);
  return 0;
}
