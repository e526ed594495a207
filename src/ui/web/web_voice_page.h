// The page's voice tools: its section's HTML and script, for the page (web_page.h).
#pragma once

#include <string>

namespace horatone {

// Hear a clip of a voice or the whole announcement, put a clip in a voice from a file or the
// microphone, make a voice with the voice generator. Uses the page's TOKEN, $ and findClock.
std::string WebVoiceTools();

}  // namespace horatone
