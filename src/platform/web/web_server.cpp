// The web page's HTTP server; see web_server.h.
#include "platform/web/web_server.h"

#include <crypt.h>
#include <httplib.h>
#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/audio/voice_check.h"
#include "platform/path_mapper.h"
#include "platform/posix_loop.h"
#include "platform/web/web_page.h"
#include "shell/form1.h"
#include "shell/web_form.h"

namespace horatone {
namespace {

// How long a request waits for the loop; a clock that does not answer by then is busy ending.
constexpr auto kLoopAnswer = std::chrono::seconds(3);
// Live status: how often a connected page's stream looks for a change, and how many streams
// may be open at once (each holds one of the server's threads).
constexpr auto kEventCheck = std::chrono::milliseconds(250);
constexpr int kMostEventStreams = 4;
constexpr int kServerThreads = 8;
constexpr std::int64_t kSessionSeconds = 12 * 3600;
constexpr const char* kSessionCookie = "horatone_session";
constexpr const char* kCsrfHeader = "X-Horatone-Token";
// A voice's verdict is checked again after this long, so that clips added later are seen.
constexpr std::int64_t kVerdictSeconds = 60;

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

}  // namespace

void RecentLogLines::Add(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(line);
  if (lines_.size() > kKept) lines_.pop_front();
}

std::vector<std::string> RecentLogLines::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {lines_.begin(), lines_.end()};
}

std::optional<WebAddress> ParseWebAddress(const std::string& text, std::string* why) {
  const std::size_t colon = text.rfind(':');
  WebAddress address;
  if (colon == std::string::npos || colon == 0) {
    *why = "--web needs ADDR:PORT, for example 127.0.0.1:8073";
    return std::nullopt;
  }
  address.host = text.substr(0, colon);
  if (address.host.size() > 2 && address.host.front() == '[' && address.host.back() == ']') {
    address.host = address.host.substr(1, address.host.size() - 2);
  }
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
      std::stoi(port) > 65535) {
    *why = "--web: \"" + port + "\" is not a port number (1 to 65535)";
    return std::nullopt;
  }
  address.port = std::stoi(port);
  address.loopback =
      address.host == "localhost" || address.host == "::1" || address.host.rfind("127.", 0) == 0;
  return address;
}

std::filesystem::path WebPasswordFile(const std::filesystem::path& root) {
  return root / "horatone-web.passwd";
}

std::optional<std::string> WebStartProblem(const std::string& text,
                                           const std::filesystem::path& root) {
  std::string why;
  const std::optional<WebAddress> address = ParseWebAddress(text, &why);
  if (!address) return why;
  std::error_code error;
  if (!address->loopback && !std::filesystem::exists(WebPasswordFile(root), error)) {
    return "--web " + text +
           ": the page would be open to the network without a password; set one first with "
           "'horatone web-password" +
           (root == HORATONE_SYSTEM_DIR ? std::string() : " --root " + root.string()) +
           "', or bind to 127.0.0.1";
  }
  return std::nullopt;
}

WebServer::WebServer(PosixLoop& loop, Form1& form, const RecentLogLines& log_lines, Hooks hooks)
    : loop_(loop), form_(form), log_lines_(log_lines), hooks_(std::move(hooks)) {}

WebServer::~WebServer() { Stop(); }

std::unique_ptr<WebServer> WebServer::Start(const std::string& address_text,
                                            const std::filesystem::path& root, PosixLoop& loop,
                                            Form1& form, const RecentLogLines& log_lines,
                                            Hooks hooks, Status* why) {
  std::string problem;
  const std::optional<WebAddress> address = ParseWebAddress(address_text, &problem);
  if (!address) {
    *why = Status::Error(problem);
    return nullptr;
  }
  std::unique_ptr<WebServer> web(new WebServer(loop, form, log_lines, std::move(hooks)));
  web->root_ = root;
  web->loopback_ = address->loopback;
  const std::filesystem::path password_file = WebPasswordFile(root);
  std::error_code error;
  if (std::filesystem::exists(password_file, error)) {
    std::ifstream in(password_file);
    std::getline(in, web->password_hash_);
    if (!in || web->password_hash_.empty() || web->password_hash_[0] != '$') {
      *why = Status::Error(password_file.string() + " cannot be read or holds no password hash");
      return nullptr;
    }
  } else if (!address->loopback) {
    *why = Status::Error("no password for a page open to the network");
    return nullptr;
  }
  web->csrf_token_ = RandomHex(16);
  web->server_ = std::make_unique<httplib::Server>();
  web->server_->new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  // A page that has gone quiet lets its connection go soon, so that ending the clock never
  // waits long for it.
  web->server_->set_keep_alive_timeout(1);
  web->server_->set_payload_max_length(64 * 1024);
  web->Route();
  if (!web->server_->bind_to_port(address->host, address->port)) {
    *why = Status::Error("cannot listen on " + address_text + ": " + std::strerror(errno));
    return nullptr;
  }
  web->thread_ = std::thread([server = web->server_.get()] { server->listen_after_bind(); });
  return web;
}

void WebServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

void WebServer::Log(const std::string& line) {
  if (hooks_.log) loop_.Post([this, line] { hooks_.log(line); });
}

bool WebServer::OnLoop(std::function<void()> task) {
  struct Call {
    bool done = false;
  };
  auto call = std::make_shared<Call>();
  loop_.Post([this, call, task = std::move(task)] {
    task();
    std::lock_guard<std::mutex> lock(mutex_);
    call->done = true;
    changed_.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, kLoopAnswer, [&] { return call->done || stopping_; });
  return call->done;
}

std::string WebServer::VoiceVerdicts(
    const std::vector<std::pair<std::string, std::string>>& voices) {
  std::string out = "[";
  const PathMapper mapper(root_);
  for (std::size_t i = 0; i < voices.size(); ++i) {
    const auto& [folder, format] = voices[i];
    const std::string key = folder + "|" + format;
    std::string verdict;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (const auto it = verdicts_.find(key);
          it != verdicts_.end() && it->second.first + kVerdictSeconds > SteadySeconds()) {
        verdict = it->second.second;
      }
    }
    if (verdict.empty() && folder.empty()) verdict = "no folder";
    if (verdict.empty()) {
      // Decoding a whole voice takes a moment: done here, on the server's thread, once for
      // each folder and format.
      const VoiceCheckResult result = CheckVoiceFolder(folder, format, mapper);
      if (result.Complete()) {
        verdict = "complete";
        if (const int problems = result.ClipsWithProblems(); problems > 0) {
          verdict += ", " + std::to_string(problems) + " clips to improve";
        }
      } else {
        verdict = std::to_string(result.missing.size()) + " clips missing, " +
                  std::to_string(result.unreadable.size()) + " unreadable";
      }
      std::lock_guard<std::mutex> lock(mutex_);
      verdicts_[key] = {SteadySeconds(), verdict};
    }
    out += std::string(i ? "," : "") + "{\"number\":" + std::to_string(i + 1) +
           ",\"folder\":" + JsonQuote(folder) + ",\"format\":" + JsonQuote(format) +
           ",\"verdict\":" + JsonQuote(verdict) + "}";
  }
  return out + "]";
}

std::string WebServer::StatusJson() {
  std::string clock;
  std::string node;
  std::vector<std::pair<std::string, std::string>> voices;
  const bool answered = OnLoop([&] {
    form_.Dispatch([&] {
      clock = ClockStatusJson(form_);
      node = hooks_.node_state ? hooks_.node_state() : "";
      for (const VoiceSlot& slot : form_.voice_slots()) {
        voices.emplace_back(slot.folder->text(), slot.wav->value() ? "wav" : "mp3");
      }
    });
  });
  if (!answered || clock.empty()) return "";
  std::string out = "{" + clock + ",\"node\":" + JsonQuote(node) +
                    ",\"voices\":" + VoiceVerdicts(voices) + ",\"log\":[";
  const std::vector<std::string> lines = log_lines_.Lines();
  for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? "," : "") + JsonQuote(lines[i]);
  return out + "]}";
}

bool WebServer::HasSession(const httplib::Request& request) {
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

bool WebServer::AddressedHere(const httplib::Request& request) const {
  if (!loopback_) return true;
  std::string host = request.get_header_value("Host");
  if (!host.empty() && host.front() == '[') {
    host = host.substr(1, host.find(']') - 1);
  } else {
    host = host.substr(0, host.find(':'));
  }
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

bool WebServer::Allowed(const httplib::Request& request, httplib::Response& response,
                        bool changes) {
  if (changes && !SameSecret(request.get_header_value(kCsrfHeader), csrf_token_)) {
    Refuse(response, 403, "refused: the request does not carry the page's token");
    return false;
  }
  if (!password_hash_.empty() && !HasSession(request)) {
    Refuse(response, 401, "log in first");
    return false;
  }
  return true;
}

void WebServer::Login(const httplib::Request& request, httplib::Response& response) {
  if (password_hash_.empty()) {
    Refuse(response, 400, "no password is set");
    return;
  }
  const std::string password = request.get_param_value("password");
  crypt_data data{};
  const char* hashed = ::crypt_r(password.c_str(), password_hash_.c_str(), &data);
  if (hashed && hashed[0] != '*' && SameSecret(hashed, password_hash_)) {
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
  int failures;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    failures = ++failures_[request.remote_addr];
  }
  Log("web page: wrong password from " + request.remote_addr);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(1 << std::min(failures - 1, 4)),
                    [&] { return stopping_; });
  lock.unlock();
  Refuse(response, 403, "wrong password");
}

void WebServer::Events(httplib::Response& response) {
  if (event_streams_.fetch_add(1) >= kMostEventStreams) {
    --event_streams_;
    Refuse(response, 503, "too many pages are open");
    return;
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

void WebServer::Route() {
  httplib::Server& server = *server_;
  server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                              {"X-Frame-Options", "DENY"},
                              {"Referrer-Policy", "no-referrer"}});
  server.set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        if (AddressedHere(request)) return httplib::Server::HandlerResponse::Unhandled;
        Refuse(response, 421, "this page answers only on a loopback address");
        return httplib::Server::HandlerResponse::Handled;
      });
  server.Get("/", [this](const httplib::Request& request, httplib::Response& response) {
    const bool login = !password_hash_.empty() && !HasSession(request);
    response.set_header("Cache-Control", "no-store");
    response.set_header("Content-Security-Policy",
                        "default-src 'none'; script-src 'unsafe-inline'; style-src "
                        "'unsafe-inline'; connect-src 'self'; img-src data:");
    response.set_content(WebPage(csrf_token_, login), "text/html; charset=utf-8");
  });
  server.Post("/login", [this](const httplib::Request& request, httplib::Response& response) {
    if (!SameSecret(request.get_header_value(kCsrfHeader), csrf_token_)) {
      Refuse(response, 403, "refused: the request does not carry the page's token");
      return;
    }
    Login(request, response);
  });
  server.Get("/events", [this](const httplib::Request& request, httplib::Response& response) {
    if (Allowed(request, response, false)) Events(response);
  });
  server.Get("/settings", [this](const httplib::Request& request, httplib::Response& response) {
    if (!Allowed(request, response, false)) return;
    std::string json;
    OnLoop([&] { form_.Dispatch([&] { json = SettingsFormJson(form_); }); });
    if (json.empty()) return Refuse(response, 503, "the clock is ending");
    response.set_header("Cache-Control", "no-store");
    response.set_content(json, "application/json");
  });
  server.Post("/settings", [this](const httplib::Request& request, httplib::Response& response) {
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
    std::optional<FormOutcome> outcome;
    OnLoop([&] { outcome = ApplySettingsForm(form_, base, values); });
    if (!outcome) return Refuse(response, 503, "the clock did not answer");
    response.status = outcome->saved ? 200 : outcome->stale ? 409 : 422;
    response.set_content(FormOutcomeJson(*outcome), "application/json");
  });
  // The window's two buttons: their handlers keep their own busy rules.
  const auto button = [this](void (Form1::*click)(), const char* name) {
    return [this, click, name](const httplib::Request& request, httplib::Response& response) {
      if (!Allowed(request, response, true)) return;
      Log(std::string("web page: ") + name);
      const bool answered = OnLoop([&] { form_.Dispatch([&] { (form_.*click)(); }); });
      if (!answered) return Refuse(response, 503, "the clock did not answer");
      response.set_content("{\"message\":\"ok\"}", "application/json");
    };
  };
  server.Post("/say", button(&Form1::Command29_Click, "Say The Time"));
  server.Post("/play", button(&Form1::Command1_Click, "Play"));
}

}  // namespace horatone
