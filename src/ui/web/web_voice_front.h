// The clock's side of the page's voice tools: the voices' folders read on the loop, the clips,
// the rendered announcement and the voice generator run off it.
#pragma once

#include <filesystem>

#include "ui/web/web_voice_hooks.h"

namespace horatone {

class Form1;
class PosixLoop;

// Fills `hooks` for the clock of `form` on `loop`, whose system directory is `root`. The hooks
// hold a voice generator's run, which ends (its process group stopped) when they go.
void AddWebVoiceHooks(WebVoiceHooks& hooks, const std::filesystem::path& root, PosixLoop& loop,
                      Form1& form);

}  // namespace horatone
