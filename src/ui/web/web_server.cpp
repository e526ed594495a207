// The web page's HTTP server, the loadable module (see web_service.h). Its threads never touch
// the window model: every request that reads or changes the clock is posted to the loop
// through the hooks, and the request waits for the answer (with a time limit). With nobody
// connected the server sleeps in accept(); a connected page's live status (server-sent events)
// is looked at four times a second and sent when it has changed.
#include <httplib.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "ui/web/web_page.h"
#include "ui/web/web_service.h"
#include "shell/json_quote.h"
#include "shell/status.h"

namespace horatone {
namespace {

// How long a request waits for the loop; a clock that does not answer by then is ending.
constexpr auto kLoopAnswer = std::chrono::seconds(3);
// How often a connected page's stream looks for a change, and how many streams may be open
// at once (each holds one of the server's threads).
constexpr auto kEventCheck = std::chrono::milliseconds(250);
constexpr int kMostEventStreams = 4;
constexpr int kServerThreads = kMostEventStreams + 4;
constexpr std::int64_t kSessionSeconds = 12 * 3600;
// A voice's verdict is checked again after this long, so that clips added later are seen.
constexpr std::int64_t kVerdictSeconds = 60;
constexpr const char* kSessionCookie = "horatone_session";
constexpr const char* kCsrfHeader = "X-Horatone-Token";

std::int64_t SteadySeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string RandomHex(std::size_t bytes) {
  std::string raw(bytes, '\0');
  for (std::size_t done = 0; done < bytes;) {
    const ssize_t n = ::getrandom(raw.data() + done, bytes - done, 0);
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  static const char* kDigits = "0123456789abcdef";
  std::string hex;
  for (const unsigned char c : raw) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

// Compares without stopping at the first difference, so that the time taken tells nothing.
bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= a[i] ^ b[i];
  return difference == 0;
}

void Refuse(httplib::Response& response, int status, const std::string& message) {
  response.status = status;
  response.set_content("{\"message\":" + JsonQuote(message) + "}", "application/json");
}

class WebServer : public WebService {
 public:
  WebServer(const WebListen& listen, WebHooks hooks)
      : listen_(listen), hooks_(std::move(hooks)), csrf_token_(RandomHex(16)) {}
  ~WebServer() override { Stop(); }

  Status Start() {
    server_.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    // A page that has gone quiet lets its connection go soon, so that ending the clock never
    // waits long for it.
    server_.set_keep_alive_timeout(1);
    server_.set_payload_max_length(256 * 1024);
    Route();
    if (!server_.bind_to_port(listen_.host, listen_.port)) {
      return Status::Unavailable(std::strerror(errno));
    }
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    return Status::Ok();
  }

  void Stop() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Log(const std::string& line) {
    hooks_.post_to_loop([log = hooks_.log, line] { log(line); });
  }

  // Runs `task` on the loop and waits for it; false when it did not run in time.
  bool OnLoop(const std::function<void()>& task) {
    auto done = std::make_shared<bool>(false);
    hooks_.post_to_loop([this, done, task] {
      task();
      std::lock_guard<std::mutex> lock(mutex_);
      *done = true;
      changed_.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kLoopAnswer, [&] { return *done || stopping_; });
    return *done;
  }

  std::string Verdict(const std::string& folder, const std::string& format) {
    if (folder.empty()) return "no folder";
    const std::string key = folder + "|" + format;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto it = verdicts_.find(key);
      if (it != verdicts_.end() && it->second.first + kVerdictSeconds > SteadySeconds()) {
        return it->second.second;
      }
    }
    // Reading a whole voice takes a moment: done here, on the server's thread.
    const std::string verdict = hooks_.voice_verdict(folder, format);
    std::lock_guard<std::mutex> lock(mutex_);
    verdicts_[key] = {SteadySeconds(), verdict};
    return verdict;
  }

  // The whole status as JSON; empty when the clock did not answer.
  std::string StatusJson() {
    std::string clock;
    std::vector<std::pair<std::string, std::string>> voices;
    if (!OnLoop([&] { clock = hooks_.status(&voices); }) || clock.empty()) return "";
    std::string out = "{" + clock + ",\"voices\":[";
    for (std::size_t i = 0; i < voices.size(); ++i) {
      const auto& [folder, format] = voices[i];
      out += std::string(i ? "," : "") + "{\"number\":" + std::to_string(i + 1) +
             ",\"folder\":" + JsonQuote(folder) + ",\"format\":" + JsonQuote(format) +
             ",\"verdict\":" + JsonQuote(Verdict(folder, format)) + "}";
    }
    out += "],\"log\":[";
    const std::vector<std::string> lines = hooks_.log_lines();
    for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? "," : "") + JsonQuote(lines[i]);
    return out + "]}";
  }

  bool HasSession(const httplib::Request& request) {
    const std::string cookies = request.get_header_value("Cookie");
    const std::string name = std::string(kSessionCookie) + "=";
    for (std::size_t at = cookies.find(name); at != std::string::npos;
         at = cookies.find(name, at + 1)) {
      if (at != 0 && cookies[at - 1] != ' ' && cookies[at - 1] != ';') continue;
      const std::size_t start = at + name.size();
      const std::string token = cookies.substr(start, cookies.find(';', start) - start);
      std::lock_guard<std::mutex> lock(mutex_);
      const auto it = sessions_.find(token);
      if (it != sessions_.end() && it->second > SteadySeconds()) return true;
    }
    return false;
  }

  // A page bound to loopback answers only requests addressed to a loopback name, so that a
  // site whose name has been pointed at 127.0.0.1 cannot read the page and its token.
  bool AddressedHere(const httplib::Request& request) const {
    if (!listen_.loopback) return true;
    std::string host = request.get_header_value("Host");
    if (!host.empty() && host.front() == '[') {
      host = host.substr(1, host.find(']') - 1);
    } else {
      host = host.substr(0, host.find(':'));
    }
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
  }

  // Whether the request may go on: its session (when there is a password) and, for a
  // change, the page's token. Fills the refusal otherwise.
  bool Allowed(const httplib::Request& request, httplib::Response& response, bool changes) {
    if (changes && !SameSecret(request.get_header_value(kCsrfHeader), csrf_token_)) {
      Refuse(response, 403, "refused: the request does not carry the page's token");
      return false;
    }
    if (hooks_.has_password && !HasSession(request)) {
      Refuse(response, 401, "log in first");
      return false;
    }
    return true;
  }

  void Login(const httplib::Request& request, httplib::Response& response) {
    if (!hooks_.has_password) return Refuse(response, 400, "no password is set");
    if (hooks_.password_matches(request.get_param_value("password"))) {
      const std::string token = RandomHex(32);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        failures_.erase(request.remote_addr);
        std::erase_if(sessions_,
                      [](const auto& session) { return session.second <= SteadySeconds(); });
        sessions_[token] = SteadySeconds() + kSessionSeconds;
      }
      response.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + token +
                                            "; Path=/; HttpOnly; SameSite=Strict");
      response.set_content("{\"message\":\"welcome\"}", "application/json");
      Log("web page: logged in from " + request.remote_addr);
      return;
    }
    // A wrong password is answered slowly, and more slowly each time from the same address.
    std::unique_lock<std::mutex> lock(mutex_);
    const int failures = ++failures_[request.remote_addr];
    changed_.wait_for(lock, std::chrono::seconds(1 << std::min(failures - 1, 4)),
                      [&] { return stopping_; });
    lock.unlock();
    Log("web page: wrong password from " + request.remote_addr);
    Refuse(response, 403, "wrong password");
  }

  void Events(httplib::Response& response) {
    if (event_streams_.fetch_add(1) >= kMostEventStreams) {
      --event_streams_;
      return Refuse(response, 503, "too many pages are open");
    }
    response.set_header("Cache-Control", "no-store");
    auto last = std::make_shared<std::string>();
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, last](std::size_t, httplib::DataSink& sink) {
          {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return false;
          }
          const std::string status = StatusJson();
          if (status.empty()) return false;
          if (status != *last) {
            *last = status;
            const std::string event = "data: " + status + "\n\n";
            return sink.write(event.data(), event.size());
          }
          std::unique_lock<std::mutex> lock(mutex_);
          changed_.wait_for(lock, kEventCheck, [&] { return stopping_; });
          return !stopping_ && sink.is_writable();
        },
        [this](bool) { --event_streams_; });
  }

  void Route() {
    server_.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                 {"X-Frame-Options", "DENY"},
                                 {"Referrer-Policy", "no-referrer"}});
    server_.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
          if (AddressedHere(request)) return httplib::Server::HandlerResponse::Unhandled;
          Refuse(response, 421, "this page answers only on a loopback address");
          return httplib::Server::HandlerResponse::Handled;
        });
    server_.Get("/", [this](const httplib::Request& request, httplib::Response& response) {
      const bool login = hooks_.has_password && !HasSession(request);
      response.set_header("Cache-Control", "no-store");
      response.set_header("Content-Security-Policy",
                          "default-src 'none'; script-src 'unsafe-inline'; style-src "
                          "'unsafe-inline'; connect-src 'self'; img-src data:");
      response.set_content(WebPage(csrf_token_, login), "text/html; charset=utf-8");
    });
    server_.Post("/login", [this](const httplib::Request& request, httplib::Response& response) {
      if (!SameSecret(request.get_header_value(kCsrfHeader), csrf_token_)) {
        return Refuse(response, 403, "refused: the request does not carry the page's token");
      }
      Login(request, response);
    });
    server_.Get("/events", [this](const httplib::Request& request, httplib::Response& response) {
      if (Allowed(request, response, false)) Events(response);
    });
    server_.Get("/settings", [this](const httplib::Request& request, httplib::Response& response) {
      if (!Allowed(request, response, false)) return;
      std::string json;
      if (!OnLoop([&] { json = hooks_.settings(); }) || json.empty()) {
        return Refuse(response, 503, "the clock did not answer");
      }
      response.set_header("Cache-Control", "no-store");
      response.set_content(json, "application/json");
    });
    server_.Post("/settings", [this](const httplib::Request& request, httplib::Response& response) {
      if (!Allowed(request, response, true)) return;
      std::string base;
      std::vector<std::pair<std::string, std::string>> values;
      for (const auto& [key, value] : request.params) {
        if (key == "_revision") {
          base = value;
        } else {
          values.emplace_back(key, value);
        }
      }
      std::string json;
      int status = 200;
      if (!OnLoop([&] { json = hooks_.save(base, values, &status); }) || json.empty()) {
        return Refuse(response, 503, "the clock did not answer");
      }
      response.status = status;
      response.set_content(json, "application/json");
    });
    // The window's two buttons: their handlers keep their own busy rules.
    const auto button = [this](std::function<void()> WebHooks::*click, const char* name) {
      return [this, click, name](const httplib::Request& request, httplib::Response& response) {
        if (!Allowed(request, response, true)) return;
        Log(std::string("web page: ") + name);
        if (!OnLoop(hooks_.*click)) return Refuse(response, 503, "the clock did not answer");
        response.set_content("{\"message\":\"ok\"}", "application/json");
      };
    };
    server_.Post("/say", button(&WebHooks::say, "Say The Time"));
    server_.Post("/play", button(&WebHooks::play, "Play"));
  }

  const WebListen listen_;
  const WebHooks hooks_;
  const std::string csrf_token_;
  httplib::Server server_;
  std::thread thread_;
  std::mutex mutex_;  // guards what follows, and the waits for the loop
  std::condition_variable changed_;
  bool stopping_ = false;
  std::map<std::string, std::int64_t> sessions_;  // token -> expiry (steady seconds)
  std::map<std::string, int> failures_;           // address -> wrong passwords in a row
  // "folder|format" -> when it was checked (steady seconds) and the verdict.
  std::map<std::string, std::pair<std::int64_t, std::string>> verdicts_;
  std::atomic<int> event_streams_{0};
};

}  // namespace
}  // namespace horatone

extern "C" horatone::WebService* horatone_web_start(const horatone::WebListen& listen,
                                                    horatone::WebHooks hooks, std::string* why) {
  auto server = std::make_unique<horatone::WebServer>(listen, std::move(hooks));
  // The one entry point the loader looks up keeps its signature: the reason as text.
  if (const horatone::Status started = server->Start(); !started) {
    *why = started.message;
    return nullptr;
  }
  return server.release();
}
