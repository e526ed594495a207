// The seam between the clock and its web page. The HTTP server (libmicrohttpd, which loads
// GnuTLS as it is loaded) lives in a module that the clock loads only when `--web` is given,
// so that a clock without the page carries none of it; the module also makes the page's
// certificate. The module knows nothing of the window
// model: everything it shows or changes goes through these hooks.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ui/web/web_voice_hooks.h"

namespace horatone {

struct WebHooks {
  // Queues a task on the clock's loop; safe from any thread.
  std::function<void(std::function<void()>)> post_to_loop;

  // On the loop thread, each inside the window's dispatch:
  // the clock's status as JSON object members, and each voice's folder and format;
  std::function<std::string(std::vector<std::pair<std::string, std::string>>* voices)> status;
  // the settings form as JSON;
  std::function<std::string()> settings;
  // a save from the page: the answer as JSON, and its HTTP status;
  std::function<std::string(const std::string& base_revision,
                            const std::vector<std::pair<std::string, std::string>>& values,
                            int* http_status)>
      save;
  // a use of one of the window's controls ("window/bar", "window/click", "window/about") or
  // of the simulated node's panel ("node/dtmf", ...): the answer as JSON, and its HTTP status;
  std::function<std::string(const std::string& path,
                            const std::vector<std::pair<std::string, std::string>>& values,
                            int* http_status)>
      use;
  // the window's "Say The Time" and "Play";
  std::function<void()> say, play;
  // a line for the clock's log.
  std::function<void(const std::string&)> log;

  // On the server's threads:
  // the voice check's verdict on a folder, in a few words (it reads the clips);
  std::function<std::string(const std::string& folder, const std::string& format)> voice_verdict;
  // whether a password is the one set (empty: none is set);
  std::function<bool(const std::string&)> password_matches;
  bool has_password = false;
  // the last lines of the log.
  std::function<std::vector<std::string>()> log_lines;
  // The largest settings form a save may send, in bytes.
  std::size_t longest_form = 0;

  WebVoiceHooks voice;
};

struct WebListen {
  std::string host;
  int port = 0;
  bool loopback = false;
  // Off loopback the page is served over HTTPS with these (PEM).
  std::string certificate_pem, key_pem;
};

class WebService {
 public:
  virtual ~WebService() = default;
  // Ends every request and joins the server's threads, whatever the loop is doing.
  virtual void Stop() = 0;
};

// The module's one entry: a server listening on `listen`, or nullptr with `why`.
using WebStartFunction = WebService* (*)(const WebListen& listen, WebHooks hooks, std::string* why);
inline constexpr const char* kWebStartSymbol = "horatone_web_start";

// A new self-signed certificate for `name` and its key (PEM), or false with `why`.
using WebMakeCertificateFunction = bool (*)(const std::string& name, std::string* certificate_pem,
                                            std::string* key_pem, std::string* why);
inline constexpr const char* kWebMakeCertificateSymbol = "horatone_web_make_certificate";
// The SHA-256 fingerprint of a certificate (PEM) as colon-separated hex, or false with `why`.
using WebFingerprintFunction = bool (*)(const std::string& certificate_pem,
                                        std::string* fingerprint, std::string* why);
inline constexpr const char* kWebFingerprintSymbol = "horatone_web_fingerprint";
inline constexpr const char* kWebModuleName = "horatone-web.so";

}  // namespace horatone
