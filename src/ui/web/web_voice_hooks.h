// The page's voice tools' side of the seam between the clock and its page: hear a clip or the
// announcement, put a clip in a voice, make a voice. Filled by the clock (web_voice_front.h);
// the server knows nothing of voices beyond these.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace horatone {

// An answer made by the clock's side: an HTTP status, a body and its type.
struct WebVoiceAnswer {
  int status = 200;
  std::string body;
  std::string type = "application/json";
};

struct WebVoiceHooks {
  // On the server's voice thread, where each may take a while (never the loop's thread):
  // one clip of a voice as WAV; `voice` is "active" (the folder the clock speaks from) or a
  // voice's number, 1 to 5;
  std::function<WebVoiceAnswer(const std::string& voice, const std::string& name)> clip;
  // the announcement the clock would say at `at` ("HH:MM"; empty: now) as WAV;
  std::function<WebVoiceAnswer(const std::string& at)> say;
  // a clip sent for a voice, a file or (`recording`) a WAV from the microphone.
  std::function<WebVoiceAnswer(const std::string& voice, const std::string& name, bool recording,
                               const std::string& bytes)>
      put;

  // On the server's threads, quick: the start of the voice generator, and how it is going.
  std::function<WebVoiceAnswer(const std::string& folder, const std::string& language,
                               const std::string& format, const std::string& engine,
                               const std::string& clips)>
      make;
  std::function<std::string()> make_progress;
  // A number that changes whenever a voice's clips may have changed, so that verdicts on the
  // voices are checked again.
  std::function<unsigned()> changes;
  // The largest clip file that may be sent, in bytes.
  std::size_t longest_clip_file = 0;
};

}  // namespace horatone
