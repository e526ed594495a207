// The announcement that the saved settings would speak at a given time, rendered in virtual
// time over the audio engine's virtual back end: the very samples the clock would send on air,
// for `horatone say` and the page's Listen. Nothing of the running clock is touched: the
// rendering has its own window model, loop and simulated node, so no transmitter is keyed.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "shell/services.h"
#include "shell/status.h"

namespace horatone {

// The announcement "Say The Time" starts at `at` (its seconds are ignored), stereo at `rate`,
// from its first sound to its last. `problems` gets each clip that failed, as the log says it.
Result<std::vector<float>> RenderAnnouncement(const std::filesystem::path& root, LocalTime at,
                                              int rate, std::vector<std::string>* problems);

// A 16-bit WAV file of interleaved samples (full scale +-1, clipped beyond), as bytes.
Result<std::string> WavBytes(const std::vector<float>& samples, int rate, int channels);

}  // namespace horatone
