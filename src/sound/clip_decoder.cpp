// Clip decoding and the clip cache; see clip_decoder.h.
#include "sound/clip_decoder.h"

#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <system_error>

namespace horatone {
namespace {

// Rates outside this range are corrupt headers rather than clips; they also keep the
// resampler's ratio inside what it accepts.
constexpr int kMinSampleRate = 4000;
constexpr int kMaxSampleRate = 768000;
// A clip is one word or a bell. One longer than five minutes, or a file larger than a five
// minute clip could be in any plain format, is refused before decoding: it would hold the
// transmitter for that long and its samples in memory.
constexpr int64_t kMaxClipSeconds = 300;
constexpr std::uintmax_t kMaxFileBytes = std::uintmax_t{256} << 20;
// The decoded samples of the longest clip at the highest rate stay far below this; room is
// set aside up front only for what a sane header promises.
constexpr int64_t kMaxSamples = int64_t{1} << 28;
constexpr int64_t kMaxReservedSamples = int64_t{1} << 24;

Status Fail(const std::filesystem::path& file, const std::string& why) {
  return Status::Error("Cannot play clip file " + file.string() + ": " + why);
}

// libsndfile silently shortens a WAV whose data chunk runs past the end of the file, and notes
// it in its log as "data : <declared> (should be <present>)". A streaming writer's placeholder
// length (all ones) is not a truncation.
bool DataChunkCutShort(SNDFILE* sf) {
  char log[16384] = {};
  sf_command(sf, SFC_GET_LOG_INFO, log, sizeof log);
  std::string_view text(log);
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.starts_with("data") || line.find("should be") == std::string_view::npos) continue;
    unsigned long long declared = 0, present = 0;
    const std::string copy(line);
    if (std::sscanf(copy.c_str(), "data : %llu (should be %llu)", &declared, &present) == 2 &&
        declared > present && declared != 0xFFFFFFFFull && declared != 0x7FFFFFFFull) {
      return true;
    }
  }
  return false;
}

}  // namespace

ClipResult DecodeClipFile(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return Fail(file, "file not found");
  const std::uintmax_t bytes = std::filesystem::file_size(file, ec);
  if (bytes == 0) return Fail(file, "the file is empty");
  if (bytes > kMaxFileBytes) {
    return Fail(file, "the file is " + std::to_string(bytes >> 20) + " MiB, more than a clip (" +
                          std::to_string(kMaxFileBytes >> 20) + " MiB at most)");
  }

  SF_INFO info{};
  SNDFILE* sf = sf_open(file.c_str(), SFM_READ, &info);
  if (sf == nullptr) {
    return Fail(
        file, std::string("not an audio file that can be decoded (") + sf_strerror(nullptr) + ")");
  }
  struct Closer {
    SNDFILE* sf;
    ~Closer() { sf_close(sf); }
  } closer{sf};

  if (info.channels < 1) return Fail(file, "the file declares no channels");
  if (info.samplerate < kMinSampleRate || info.samplerate > kMaxSampleRate) {
    return Fail(file, "unsupported sample rate " + std::to_string(info.samplerate) + " Hz");
  }
  const int64_t max_frames = kMaxClipSeconds * info.samplerate;
  const auto too_long = [&](int64_t frames) {
    return Fail(file, "the clip is " + std::to_string(frames / info.samplerate) +
                          " seconds long, more than a clip (" + std::to_string(kMaxClipSeconds) +
                          " seconds at most)");
  };
  if (info.frames > max_frames) return too_long(info.frames);
  const bool is_mp3 = (info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG;
  if (!is_mp3 && DataChunkCutShort(sf)) return Fail(file, "the file is truncated");

  auto decoded = std::make_shared<DecodedClip>();
  decoded->sample_rate = info.samplerate;
  decoded->channels = std::min(info.channels, 2);
  if (info.frames > 0 && info.frames * decoded->channels <= kMaxReservedSamples) {
    decoded->samples.reserve(static_cast<std::size_t>(info.frames * decoded->channels));
  }

  constexpr int kChunkFrames = 4096;
  std::vector<float> chunk(static_cast<std::size_t>(kChunkFrames) * info.channels);
  int64_t frames = 0;
  for (;;) {
    const sf_count_t got = sf_readf_float(sf, chunk.data(), kChunkFrames);
    if (got <= 0) break;
    // A header may understate the length (an MP3's is an estimate).
    if (frames + got > max_frames) return too_long(frames + got);
    if ((frames + got) * decoded->channels > kMaxSamples) {
      return Fail(file, "the clip is too long to hold in memory");
    }
    for (sf_count_t i = 0; i < got; ++i) {
      const float* frame = &chunk[static_cast<std::size_t>(i * info.channels)];
      decoded->samples.insert(decoded->samples.end(), frame, frame + decoded->channels);
    }
    frames += got;
  }
  if (sf_error(sf) != SF_ERR_NO_ERROR) {
    return Fail(file, std::string("decoding failed (") + sf_strerror(sf) + ")");
  }
  if (frames == 0) return Fail(file, "the file holds no audio");
  // An MP3 without an exact length header has only an estimate, so allow it two frames and
  // two per cent of slack; every other format states its length exactly.
  const int64_t slack = is_mp3 ? std::max<int64_t>(2 * 1152, info.frames / 50) : 0;
  if (frames + slack < info.frames) {
    return Fail(file, "the file is truncated (" + std::to_string(frames) + " of " +
                          std::to_string(info.frames) + " frames present)");
  }
  for (float& s : decoded->samples) {
    if (!(s >= -1.0f && s <= 1.0f)) s = s > 0 ? 1.0f : (s < 0 ? -1.0f : 0.0f);  // also NaN -> 0
  }
  decoded->frames = frames;
  decoded->samples.shrink_to_fit();
  return std::shared_ptr<const DecodedClip>(std::move(decoded));
}

ClipCache::ClipCache(std::size_t max_bytes) : max_bytes_(max_bytes) {}

ClipResult ClipCache::Load(const std::filesystem::path& file) {
  std::error_code size_ec, time_ec;
  const std::uintmax_t size = std::filesystem::file_size(file, size_ec);
  const auto mtime = std::filesystem::last_write_time(file, time_ec);

  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return e.file == file; });
  if (it != entries_.end()) {
    if (!size_ec && !time_ec && it->size == size && it->mtime == mtime) {
      entries_.splice(entries_.begin(), entries_, it);
      return it->clip;
    }
    bytes_ -= it->clip->Bytes();
    entries_.erase(it);
  }

  ClipResult decoded_clip = DecodeClipFile(file);
  if (!decoded_clip) return decoded_clip;
  std::shared_ptr<const DecodedClip> decoded = std::move(*decoded_clip);
  if (!size_ec && !time_ec && decoded->Bytes() <= max_bytes_) {
    entries_.push_front(Entry{file, size, mtime, decoded});
    bytes_ += decoded->Bytes();
    while (bytes_ > max_bytes_) {
      bytes_ -= entries_.back().clip->Bytes();
      entries_.pop_back();
    }
  }
  return decoded;
}

}  // namespace horatone
