// The web page's HTTP server, the loadable module (see web_service.h), on GNU libmicrohttpd:
// one thread polls every connection, so a slow or stuck client holds a socket and a bounded
// buffer, never a thread, and for a bounded time. A request that needs the clock is suspended,
// posted to the loop and resumed with the loop's answer; a worker thread keeps the time limits,
// checks passwords and fetches the live status for the open pages (four times a second, only while
// one is open). With nobody connected both threads sleep.
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "shell/json_quote.h"
#include "shell/status.h"
#include "ui/web/web_page.h"
#include "ui/web/web_service.h"

namespace horatone {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long a request waits for the loop; a clock that does not answer by then is ending.
constexpr auto kLoopAnswer = 3s;
// How often the open pages' status is looked at, and how many live streams may be open.
constexpr auto kEventCheck = 250ms;
constexpr std::size_t kMostEventStreams = 4;
// Connections: in all, from one address, idle seconds before one is dropped, and the memory
// each may use for its request line and headers (a request that needs more is refused).
constexpr unsigned kMostConnections = 128;
constexpr unsigned kMostFromOneAddress = 16;
constexpr unsigned kIdleSeconds = 10;
// A request's line and headers must all have come by then, however slowly they trickle in
// (each byte would keep an idle limit from ever ending the connection).
constexpr auto kHeadersTime = 10s;
constexpr std::size_t kConnectionMemory = 32 * 1024;
constexpr unsigned kMostHeaders = 64;
// The body of any request but a save, and the pending password checks.
constexpr std::size_t kSmallBody = 4096;
constexpr std::size_t kMostPendingLogins = 8;
// A wrong password locks its address for 1 s, doubling with each further miss, up to this.
constexpr int kLongestLockSeconds = 16;
constexpr std::int64_t kSessionSeconds = 12 * 3600;
// A voice's verdict is checked again after this long, so that clips added later are seen.
constexpr auto kVerdictAge = 60s;
constexpr const char* kSessionCookie = "horatone_session";
constexpr const char* kCsrfHeader = "X-Horatone-Token";
constexpr const char* kTokenRefused = "refused: the request does not carry the page's token";

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

std::string Decoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto hex = [](char c) {
      return c >= '0' && c <= '9'   ? c - '0'
             : c >= 'a' && c <= 'f' ? c - 'a' + 10
             : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                    : -1;
    };
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 &&
               hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// An application/x-www-form-urlencoded body, in order, repeats kept.
std::vector<std::pair<std::string, std::string>> FormValues(std::string_view body) {
  std::vector<std::pair<std::string, std::string>> values;
  while (!body.empty()) {
    const std::size_t amp = body.find('&');
    const std::string_view pair = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    if (pair.empty()) continue;
    const std::size_t equals = pair.find('=');
    values.emplace_back(Decoded(pair.substr(0, equals)),
                        equals == std::string_view::npos ? "" : Decoded(pair.substr(equals + 1)));
  }
  return values;
}

struct Answer {
  Answer() = default;
  Answer(int status_code, std::string text, std::string content_type = "application/json")
      : status(status_code), body(std::move(text)), type(std::move(content_type)) {}
  int status = 200;
  std::string body;
  std::string type = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;
};

Answer Message(int status, const std::string& message) {
  return {status, "{\"message\":" + JsonQuote(message) + "}"};
}

// A request whose answer is made off the server's thread while its connection is suspended.
struct Waiting {
  MHD_Connection* connection = nullptr;
  Clock::time_point deadline;
  bool answered = false;
  Answer answer;
};

// One request, from its headers to its end.
struct Request {
  std::string body;
  std::size_t body_limit = kSmallBody;
  bool too_large = false;
  std::shared_ptr<Waiting> waiting;
};

// An open live status: what is still to be sent, and whether its connection is suspended for
// want of anything to send.
class WebServer;
struct Stream {
  WebServer* server = nullptr;
  MHD_Connection* connection = nullptr;
  std::string outbox;
  bool suspended = false;
};

// One connection, from the server's thread, while it waits for a request's headers.
struct Peer {
  MHD_socket socket = MHD_INVALID_SOCKET;
  Clock::time_point since;
  bool awaiting = true;
};

struct Throttle {
  int failures = 0;
  Clock::time_point locked_until;
  bool checking = false;
};

class WebServer : public WebService {
 public:
  WebServer(const WebListen& listen, WebHooks hooks)
      : listen_(listen), hooks_(std::move(hooks)), csrf_token_(RandomHex(16)) {}
  ~WebServer() override { Stop(); }

  Status Start() {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(listen_.port);
    if (const int error = ::getaddrinfo(listen_.host.c_str(), port.c_str(), &hints, &found)) {
      return Status::BadInput(std::string("cannot resolve ") + listen_.host + ": " +
                              ::gai_strerror(error));
    }
    sockaddr_storage address{};
    std::memcpy(&address, found->ai_addr, found->ai_addrlen);
    const bool ipv6 = found->ai_family == AF_INET6;
    ::freeaddrinfo(found);

    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
                     MHD_USE_ERROR_LOG;
    if (ipv6) flags |= MHD_USE_IPv6;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_SOCK_ADDR, 0, &address},
        {MHD_OPTION_LISTENING_ADDRESS_REUSE, 1, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, kMostConnections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMostFromOneAddress, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kConnectionMemory), nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Completed), this},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Connected), this},
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&LibraryLog), this},
    };
    if (!listen_.loopback) {
      if (listen_.certificate_pem.empty() || listen_.key_pem.empty()) {
        return Status::BadInput("a page open to the network needs its certificate and key");
      }
      flags |= MHD_USE_TLS;
      options.push_back(
          {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(listen_.certificate_pem.c_str())});
      options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(listen_.key_pem.c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(flags, static_cast<uint16_t>(listen_.port), nullptr, nullptr,
                               &Handle, this, MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    if (!daemon_) {
      std::lock_guard<std::mutex> lock(mutex_);
      return Status::Unavailable(library_error_.empty() ? std::string(std::strerror(errno))
                                                        : library_error_);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      started_ = true;
    }
    worker_ = std::thread([this] { Work(); });
    voice_worker_ = std::thread([this] { VoiceWork(); });
    return Status::Ok();
  }

  void Stop() override {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (stopping_) return;
      stopping_ = true;
      // Every suspended connection goes back to the server, which ends it.
      for (const auto& waiting : waiting_) Answered(*waiting, Message(503, "the clock is ending"));
      waiting_.clear();
      for (Stream* stream : streams_) Wake(*stream);
      Resume(lock);
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
    if (voice_worker_.joinable()) voice_worker_.join();
    {
      // A resume another thread has begun ends before the connections go.
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return resuming_ == 0; });
    }
    if (daemon_) MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
  }

 private:
  // The library's own complaints: kept while starting (the reason it cannot), dropped after,
  // so that a stranger's malformed requests do not fill the clock's log.
  static void LibraryLog(void* self, const char* format, va_list arguments) {
    auto* server = static_cast<WebServer*>(self);
    char text[256];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::lock_guard<std::mutex> lock(server->mutex_);
    if (!server->started_) {
      server->library_error_ = text;
      while (!server->library_error_.empty() && server->library_error_.back() == '\n') {
        server->library_error_.pop_back();
      }
    }
  }

  void Log(const std::string& line) {
    hooks_.post_to_loop([log = hooks_.log, line] { log(line); });
  }

  static std::string Header(MHD_Connection* connection, const char* name,
                            MHD_ValueKind kind = MHD_HEADER_KIND) {
    const char* value = MHD_lookup_connection_value(connection, kind, name);
    return value ? value : "";
  }

  static std::string PeerAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    char text[INET6_ADDRSTRLEN] = "?";
    if (info && info->client_addr) {
      if (info->client_addr->sa_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(info->client_addr)->sin_addr,
                    text, sizeof text);
      } else if (info->client_addr->sa_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(info->client_addr)->sin6_addr,
                    text, sizeof text);
      }
    }
    return text;
  }

  // The address a throttle counts for: an IPv6 peer by its /64, since one machine holds
  // all the addresses of its network.
  static std::string ThrottleKey(const std::string& address) {
    if (address.find(':') == std::string::npos) return address;
    in6_addr bytes{};
    if (::inet_pton(AF_INET6, address.c_str(), &bytes) != 1) return address;
    std::memset(bytes.s6_addr + 8, 0, 8);
    char text[INET6_ADDRSTRLEN];
    ::inet_ntop(AF_INET6, &bytes, text, sizeof text);
    return std::string(text) + "/64";
  }

  MHD_Result Send(MHD_Connection* connection, const Answer& answer) {
    MHD_Response* response = MHD_create_response_from_buffer(
        answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    AddCommonHeaders(response, answer.type);
    for (const auto& [name, value] : answer.headers) {
      MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
  }

  static void AddCommonHeaders(MHD_Response* response, const std::string& type) {
    MHD_add_response_header(response, "Content-Type", type.c_str());
    MHD_add_response_header(response, "Cache-Control", "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "X-Frame-Options", "DENY");
    MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  }

  // A page bound to loopback answers only requests addressed to a loopback name with its
  // port, so that a site whose name has been pointed at 127.0.0.1 cannot read it.
  bool AddressedHere(const std::string& host) const {
    if (!listen_.loopback) return true;
    const std::string literal =
        listen_.host.find(':') != std::string::npos ? "[" + listen_.host + "]" : listen_.host;
    const std::string port = ":" + std::to_string(listen_.port);
    for (const std::string& name :
         {std::string("127.0.0.1"), std::string("localhost"), std::string("[::1]"), literal}) {
      if (host == name + port || (listen_.port == 80 && host == name)) return true;
    }
    return false;
  }

  bool HasSession(MHD_Connection* connection) {
    const std::string token = Header(connection, kSessionCookie, MHD_COOKIE_KIND);
    if (token.empty()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sessions_.find(token);
    return it != sessions_.end() && it->second > Clock::now();
  }

  // The refusal a request gets from its headers alone, before its body is read.
  std::optional<Answer> Gate(MHD_Connection* connection, const std::string& method,
                             const std::string& url, Request& request) {
    if (!AddressedHere(Header(connection, "Host"))) {
      return Message(421, "this page answers only on a loopback address");
    }
    if (MHD_get_connection_values(connection, MHD_HEADER_KIND, nullptr, nullptr) >
        static_cast<int>(kMostHeaders)) {
      return Message(431, "too many headers");
    }
    static const std::set<std::string> kGets = {"/", "/session", "/events", "/settings"};
    static const std::set<std::string> kPosts = {
        "/login",        "/logout",       "/settings",  "/say",       "/play",      "/window/bar",
        "/window/click", "/window/about", "/node/dtmf", "/node/chat", "/node/busy", "/node/close"};
    const bool get = method == "GET" || method == "HEAD";
    const auto allowed = [&url](bool as_get) {
      return (as_get ? kGets : kPosts).count(url) > 0 ||
             (as_get ? kVoiceGets : kVoicePosts).count(url) > 0;
    };
    if (!allowed(get))
      return allowed(!get) ? Message(405, "not allowed") : Message(404, "not found");
    if (get && url != "/" && url != "/session" && hooks_.has_password && !HasSession(connection)) {
      return Message(401, "log in first");
    }
    // The voice tools' answers are the operator's voices: even a GET carries the token.
    const bool voice = url.starts_with("/voice/");
    if (get && !voice) return std::nullopt;
    if (!SameSecret(Header(connection, kCsrfHeader), csrf_token_)) {
      return Message(403, kTokenRefused);
    }
    if (get) return std::nullopt;
    if (url == "/login") {
      if (!hooks_.has_password) return Message(400, "no password is set");
      if (std::optional<Answer> throttled = Throttled(PeerAddress(connection))) return throttled;
    } else if (url != "/logout" && hooks_.has_password && !HasSession(connection)) {
      return Message(401, "log in first");
    }
    request.body_limit = url == "/settings"       ? hooks_.longest_form
                         : url == "/voice/upload" ? hooks_.voice.longest_clip_file
                                                  : kSmallBody;
    const std::string length = Header(connection, "Content-Length");
    if (length.find_first_not_of("0123456789") != std::string::npos) {
      return Message(400, "a bad Content-Length");
    }
    if (!length.empty() && (length.size() > 12 || std::stoull(length) > request.body_limit)) {
      return Message(413,
                     "the request is larger than " + std::to_string(request.body_limit) + " bytes");
    }
    return std::nullopt;
  }

  // 429 while the address is locked, or while its last guess is still being checked.
  std::optional<Answer> Throttled(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    const auto it = throttles_.find(ThrottleKey(address));
    int wait = 0;
    if (it != throttles_.end() && it->second.checking) wait = 1;
    if (it != throttles_.end() && it->second.locked_until > now) {
      wait = static_cast<int>(
          std::chrono::ceil<std::chrono::seconds>(it->second.locked_until - now).count());
    }
    if (wait == 0 && logins_.size() >= kMostPendingLogins) wait = 1;
    if (wait == 0) return std::nullopt;
    Answer answer =
        Message(429, "too many wrong passwords; try again in " + std::to_string(wait) + " s");
    answer.headers.emplace_back("Retry-After", std::to_string(wait));
    return answer;
  }

  static MHD_Result Handle(void* self, MHD_Connection* connection, const char* url,
                           const char* method, const char*, const char* upload, size_t* upload_size,
                           void** state) {
    auto* server = static_cast<WebServer*>(self);
    auto* request = static_cast<Request*>(*state);
    if (!request) {
      request = new Request;
      *state = request;
      server->Awaiting(connection, false);
      if (std::optional<Answer> refusal = server->Gate(connection, method, url, *request)) {
        return server->Send(connection, *refusal);
      }
      return MHD_YES;
    }
    if (*upload_size > 0) {
      if (request->body.size() + *upload_size > request->body_limit) {
        request->too_large = true;
      } else {
        request->body.append(upload, *upload_size);
      }
      *upload_size = 0;
      return MHD_YES;
    }
    if (request->waiting) {
      Answer answer;
      {
        std::lock_guard<std::mutex> lock(server->mutex_);
        answer = std::move(request->waiting->answer);
      }
      request->waiting.reset();
      return server->Send(connection, answer);
    }
    if (request->too_large) {
      return server->Send(connection,
                          Message(413, "the request is larger than " +
                                           std::to_string(request->body_limit) + " bytes"));
    }
    return server->Route(connection, method, url, *request);
  }

  static void Completed(void* self, MHD_Connection* connection, void** state,
                        MHD_RequestTerminationCode) {
    delete static_cast<Request*>(*state);
    *state = nullptr;
    // The next request on the connection has its own time for its headers.
    static_cast<WebServer*>(self)->Awaiting(connection, true);
  }

  void Awaiting(MHD_Connection* connection, bool awaiting) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (!info || !info->socket_context) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto* peer = static_cast<Peer*>(info->socket_context);
      peer->awaiting = awaiting;
      peer->since = Clock::now();
    }
    if (awaiting) changed_.notify_all();
  }

  static void Connected(void* self, MHD_Connection* connection, void** context,
                        MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<WebServer*>(self);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      auto* peer = new Peer;
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      if (info) peer->socket = info->connect_fd;
      peer->since = Clock::now();
      {
        std::lock_guard<std::mutex> lock(server->mutex_);
        server->peers_.insert(peer);
      }
      *context = peer;
      server->changed_.notify_all();
    } else if (auto* peer = static_cast<Peer*>(*context)) {
      // Before the library closes the socket: the worker never shuts a reused number.
      std::lock_guard<std::mutex> lock(server->mutex_);
      server->peers_.erase(peer);
      delete peer;
      *context = nullptr;
    }
  }

  MHD_Result Route(MHD_Connection* connection, const std::string& method, const std::string& url,
                   Request& request) {
    if (url.starts_with("/voice/")) return RouteVoice(connection, url, request);
    if (method != "POST") {
      if (url == "/") {
        const bool login = hooks_.has_password && !HasSession(connection);
        Answer page{200, WebPage(csrf_token_, login, hooks_.has_password),
                    "text/html; charset=utf-8"};
        page.headers.emplace_back("Content-Security-Policy",
                                  "default-src 'none'; script-src 'unsafe-inline'; style-src "
                                  "'unsafe-inline'; connect-src 'self'; img-src data:; "
                                  "media-src blob:");
        return Send(connection, page);
      }
      if (url == "/session") {
        const bool login = hooks_.has_password && !HasSession(connection);
        return Send(connection, {200, "{\"token\":" + JsonQuote(csrf_token_) +
                                          ",\"login\":" + (login ? "true" : "false") + "}"});
      }
      if (url == "/events") return OpenStream(connection);
      return OnLoop(connection, request, [this] {
        const std::string json = hooks_.settings();
        return json.empty() ? Message(503, "the clock did not answer") : Answer{200, json};
      });
    }
    if (url == "/login") return Login(connection, request);
    if (url == "/logout") {
      const std::string token = Header(connection, kSessionCookie, MHD_COOKIE_KIND);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        sessions_.erase(token);
      }
      Answer answer = Message(200, "logged out");
      answer.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) +
                                                    "=; Path=/; Max-Age=0; HttpOnly; "
                                                    "SameSite=Strict" +
                                                    (listen_.loopback ? "" : "; Secure"));
      if (!token.empty()) Log("web page: logged out from " + PeerAddress(connection));
      return Send(connection, answer);
    }
    if (url == "/settings") {
      std::string base;
      std::vector<std::pair<std::string, std::string>> values;
      for (auto& [key, value] : FormValues(request.body)) {
        if (key == "_revision") {
          base = value;
        } else {
          values.emplace_back(std::move(key), std::move(value));
        }
      }
      return OnLoop(connection, request, [this, base, values] {
        int status = 200;
        const std::string json = hooks_.save(base, values, &status);
        return json.empty() ? Message(503, "the clock did not answer") : Answer{status, json};
      });
    }
    if (url.rfind("/window/", 0) == 0 || url.rfind("/node/", 0) == 0) {
      std::vector<std::pair<std::string, std::string>> values = FormValues(request.body);
      if (url != "/window/bar") {
        std::string what = url.substr(1);
        for (const auto& [key, value] : values) {
          if (key == "name" || key == "flag") what += " " + value.substr(0, 40);
        }
        Log("web page: " + what);
      }
      return OnLoop(connection, request, [this, path = url.substr(1), values] {
        int status = 200;
        const std::string json = hooks_.use(path, values, &status);
        return json.empty() ? Message(503, "the clock did not answer") : Answer{status, json};
      });
    }
    // The window's two buttons: their handlers keep their own busy rules.
    const bool say = url == "/say";
    Log(std::string("web page: ") + (say ? "Say The Time" : "Play"));
    return OnLoop(connection, request, [this, say] {
      (say ? hooks_.say : hooks_.play)();
      return Message(200, "ok");
    });
  }

  // Suspends the connection until the loop has made its answer, or the time is up.
  MHD_Result OnLoop(MHD_Connection* connection, Request& request, std::function<Answer()> make) {
    auto waiting = std::make_shared<Waiting>();
    waiting->connection = connection;
    waiting->deadline = Clock::now() + kLoopAnswer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return Send(connection, Message(503, "the clock is ending"));
      MHD_suspend_connection(connection);
      waiting_.push_back(waiting);
    }
    request.waiting = waiting;
    changed_.notify_all();
    hooks_.post_to_loop([this, waiting, make = std::move(make)] { Deliver(waiting, make()); });
    return MHD_YES;
  }

  void Deliver(const std::shared_ptr<Waiting>& waiting, Answer answer) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (waiting->answered) return;
    Answered(*waiting, std::move(answer));
    std::erase(waiting_, waiting);
    Resume(lock);
  }

  // With mutex_ held: the answer is ready, the connection is to go back to the server.
  void Answered(Waiting& waiting, Answer answer) {
    waiting.answered = true;
    waiting.answer = std::move(answer);
    to_resume_.push_back(waiting.connection);
  }

  // With mutex_ held: a suspended stream has something to send (or is to end).
  void Wake(Stream& stream) {
    if (!stream.suspended) return;
    stream.suspended = false;
    to_resume_.push_back(stream.connection);
  }

  // Hands the connections marked above back to the server. The library is called without
  // mutex_ held, so that its own lock is never taken inside ours on one thread and the other
  // way round on another; a connection is suspended before it is marked, under mutex_, so it
  // is never resumed before it was suspended.
  void Resume(std::unique_lock<std::mutex>& lock) {
    if (to_resume_.empty()) return;
    const std::vector<MHD_Connection*> connections = std::move(to_resume_);
    to_resume_.clear();
    ++resuming_;
    lock.unlock();
    for (MHD_Connection* connection : connections) MHD_resume_connection(connection);
    lock.lock();
    --resuming_;
    changed_.notify_all();
  }

  MHD_Result Login(MHD_Connection* connection, Request& request) {
    std::string password;
    for (const auto& [key, value] : FormValues(request.body)) {
      if (key == "password") password = value;
    }
    const std::string address = PeerAddress(connection);
    if (std::optional<Answer> throttled = Throttled(address)) {
      return Send(connection, *throttled);
    }
    auto waiting = std::make_shared<Waiting>();
    waiting->connection = connection;
    waiting->deadline = Clock::time_point::max();  // the check always ends
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return Send(connection, Message(503, "the clock is ending"));
      throttles_[ThrottleKey(address)].checking = true;
      MHD_suspend_connection(connection);
      waiting_.push_back(waiting);
      logins_.push_back(
          [this, waiting, password, address] { CheckPassword(waiting, password, address); });
    }
    request.waiting = waiting;
    changed_.notify_all();
    return MHD_YES;
  }

  // On the worker: the slow hash, then the session or the address's lock.
  void CheckPassword(const std::shared_ptr<Waiting>& waiting, const std::string& password,
                     const std::string& address) {
    const bool good = hooks_.password_matches(password);
    Answer answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto now = Clock::now();
      Throttle& throttle = throttles_[ThrottleKey(address)];
      throttle.checking = false;
      if (good) {
        throttles_.erase(ThrottleKey(address));
        std::erase_if(sessions_, [now](const auto& session) { return session.second <= now; });
        const std::string token = RandomHex(32);
        sessions_[token] = now + std::chrono::seconds(kSessionSeconds);
        answer = Message(200, "welcome");
        answer.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) + "=" + token +
                                                      "; Path=/; HttpOnly; SameSite=Strict" +
                                                      (listen_.loopback ? "" : "; Secure"));
      } else {
        throttle.failures = std::min(throttle.failures + 1, 8);
        const int seconds = std::min(1 << (throttle.failures - 1), kLongestLockSeconds);
        throttle.locked_until = now + std::chrono::seconds(seconds);
        answer = Message(403, "wrong password");
        answer.headers.emplace_back("Retry-After", std::to_string(seconds));
        // Forgotten once long unlocked, so that many addresses cannot fill the memory.
        if (throttles_.size() > 1024) {
          std::erase_if(throttles_, [now](const auto& entry) {
            return !entry.second.checking && entry.second.locked_until + 10min < now;
          });
        }
      }
    }
    Log(std::string(good ? "web page: logged in from " : "web page: wrong password from ") +
        address);
    Deliver(waiting, std::move(answer));
  }

  MHD_Result OpenStream(MHD_Connection* connection) {
    auto stream = std::make_unique<Stream>();
    stream->server = this;
    stream->connection = connection;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_ || streams_.size() >= kMostEventStreams) {
        return Send(connection, Message(503, "too many pages are open"));
      }
      if (!last_status_.empty()) stream->outbox = "data: " + last_status_ + "\n\n";
      // A comment first, so that the page sees its stream open at once.
      stream->outbox.insert(0, ": horatone\n\n");
      streams_.insert(stream.get());
    }
    changed_.notify_all();
    MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &StreamRead,
                                                               stream.get(), &StreamClosed);
    if (!response) {
      std::lock_guard<std::mutex> lock(mutex_);
      streams_.erase(stream.get());
      return MHD_NO;
    }
    stream.release();
    AddCommonHeaders(response, "text/event-stream");
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
  }

  // On the server's thread: what the stream has to send, or suspended until there is some.
  static ssize_t StreamRead(void* cls, uint64_t, char* buffer, size_t most) {
    auto* stream = static_cast<Stream*>(cls);
    WebServer* server = stream->server;
    std::lock_guard<std::mutex> lock(server->mutex_);
    if (server->stopping_) return MHD_CONTENT_READER_END_OF_STREAM;
    if (!stream->outbox.empty()) {
      const std::size_t n = std::min(most, stream->outbox.size());
      std::memcpy(buffer, stream->outbox.data(), n);
      stream->outbox.erase(0, n);
      return static_cast<ssize_t>(n);
    }
    stream->suspended = true;
    MHD_suspend_connection(stream->connection);
    return 0;
  }

  static void StreamClosed(void* cls) {
    auto* stream = static_cast<Stream*>(cls);
    WebServer* server = stream->server;
    {
      std::lock_guard<std::mutex> lock(server->mutex_);
      server->streams_.erase(stream);
      if (server->streams_.empty()) server->last_status_.clear();
    }
    delete stream;
  }

  std::string Verdict(const std::string& folder, const std::string& format) {
    if (folder.empty()) return "no folder";
    if (hooks_.voice.changes && hooks_.voice.changes() != voice_changes_) {
      voice_changes_ = hooks_.voice.changes();
      verdicts_.clear();
    }
    const std::string key = folder + "|" + format;
    const auto it = verdicts_.find(key);
    if (it != verdicts_.end() && it->second.first + kVerdictAge > Clock::now()) {
      return it->second.second;
    }
    // Reading a whole voice takes a moment: done here, on the worker.
    const std::string verdict = hooks_.voice_verdict(folder, format);
    verdicts_[key] = {Clock::now(), verdict};
    return verdict;
  }

  std::string StatusJson(const std::string& clock,
                         const std::vector<std::pair<std::string, std::string>>& voices) {
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

  // The worker: time limits, password checks and, while a page is open, its status.
  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    auto next_status = Clock::now();
    bool asked = false;
    std::optional<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> got;
    while (!stopping_) {
      const auto now = Clock::now();
      for (auto it = waiting_.begin(); it != waiting_.end();) {
        if ((*it)->deadline <= now) {
          Answered(**it, Message(503, "the clock did not answer"));
          it = waiting_.erase(it);
        } else {
          ++it;
        }
      }
      Resume(lock);
      for (Peer* peer : peers_) {
        if (peer->awaiting && peer->since + kHeadersTime <= now) {
          // The server sees the end of the connection and lets it go.
          ::shutdown(peer->socket, SHUT_RDWR);
          peer->awaiting = false;
        }
      }
      if (!logins_.empty()) {
        const std::function<void()> check = std::move(logins_.front());
        logins_.pop_front();
        lock.unlock();
        check();
        lock.lock();
        continue;
      }
      if (status_answer_) {
        got = std::move(status_answer_);
        status_answer_.reset();
        asked = false;
        lock.unlock();
        const std::string status = got->first.empty() ? "" : StatusJson(got->first, got->second);
        lock.lock();
        if (!status.empty() && status != last_status_ && !streams_.empty()) {
          last_status_ = status;
          for (Stream* stream : streams_) {
            // Each event is the whole status: a page that has fallen behind needs only the last.
            stream->outbox = "data: " + status + "\n\n";
            Wake(*stream);
          }
          Resume(lock);
        }
        continue;
      }
      if (!streams_.empty() && !asked && now >= next_status) {
        asked = true;
        next_status = now + kEventCheck;
        hooks_.post_to_loop([this] {
          std::vector<std::pair<std::string, std::string>> voices;
          std::string clock = hooks_.status(&voices);
          std::lock_guard<std::mutex> guard(mutex_);
          status_answer_.emplace(std::move(clock), std::move(voices));
          changed_.notify_all();
        });
      }
      auto wake = Clock::time_point::max();
      for (const auto& waiting : waiting_) wake = std::min(wake, waiting->deadline);
      for (const Peer* peer : peers_) {
        if (peer->awaiting) wake = std::min(wake, peer->since + kHeadersTime);
      }
      if (!streams_.empty() && !asked) wake = std::min(wake, next_status);
      if (wake == Clock::time_point::max()) {
        changed_.wait(lock);
      } else {
        changed_.wait_until(lock, wake);
      }
    }
  }

  // ---- Voices from the browser: hear a clip or the announcement, put a clip in a voice, make a
  // voice. Clips and renderings are made on a thread of their own, one at a time, so that
  // neither the server's thread nor the clock's loop waits for them.
  static constexpr std::size_t kMostVoiceTasks = 4;
  static inline const std::set<std::string> kVoiceGets = {"/voice/clip", "/voice/say",
                                                          "/voice/make/progress"};
  static inline const std::set<std::string> kVoicePosts = {"/voice/upload", "/voice/make"};

  static std::string Argument(MHD_Connection* connection, const char* name) {
    return Header(connection, name, MHD_GET_ARGUMENT_KIND);
  }

  MHD_Result RouteVoice(MHD_Connection* connection, const std::string& url, Request& request) {
    const auto answer = [](const WebVoiceAnswer& made) {
      return Answer{made.status, made.body, made.type};
    };
    if (url == "/voice/make/progress") {
      return Send(connection, {200, hooks_.voice.make_progress()});
    }
    if (url == "/voice/make") {
      std::map<std::string, std::string> form;
      for (auto& [key, value] : FormValues(request.body)) form[key] = std::move(value);
      const WebVoiceAnswer made = hooks_.voice.make(form["folder"], form["language"],
                                                    form["format"], form["engine"], form["clips"]);
      if (made.status < 300) Log("web page: making the voice " + form["folder"]);
      return Send(connection, answer(made));
    }
    const std::string voice = Argument(connection, "voice");
    const std::string name = Argument(connection, "name");
    if (url == "/voice/clip") {
      return OffLoop(connection, request, [this, answer, voice, name] {
        return answer(hooks_.voice.clip(voice, name));
      });
    }
    if (url == "/voice/say") {
      return OffLoop(connection, request, [this, answer, at = Argument(connection, "at")] {
        return answer(hooks_.voice.say(at));
      });
    }
    const bool recording = Argument(connection, "kind") == "recording";
    return OffLoop(connection, request,
                   [this, answer, voice, name, recording, body = std::move(request.body)] {
                     const WebVoiceAnswer made = hooks_.voice.put(voice, name, recording, body);
                     Log("web page: " + std::string(recording ? "a recording" : "a file") +
                         " for " + name + " of voice " + voice + ": " +
                         (made.status == 200 ? "put in" : "refused"));
                     return answer(made);
                   });
  }

  // Suspends the connection until the voice thread has made its answer.
  MHD_Result OffLoop(MHD_Connection* connection, Request& request, std::function<Answer()> make) {
    auto waiting = std::make_shared<Waiting>();
    waiting->connection = connection;
    waiting->deadline = Clock::time_point::max();  // the task always ends
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return Send(connection, Message(503, "the clock is ending"));
      if (voice_tasks_.size() >= kMostVoiceTasks) {
        return Send(connection, Message(503, "the voice tools are busy; try again"));
      }
      MHD_suspend_connection(connection);
      waiting_.push_back(waiting);
      voice_tasks_.push_back([this, waiting, make = std::move(make)] { Deliver(waiting, make()); });
    }
    request.waiting = waiting;
    changed_.notify_all();
    return MHD_YES;
  }

  void VoiceWork() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stopping_ || !voice_tasks_.empty(); });
      if (stopping_) return;
      const std::function<void()> task = std::move(voice_tasks_.front());
      voice_tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }

  const WebListen listen_;
  const WebHooks hooks_;
  const std::string csrf_token_;
  MHD_Daemon* daemon_ = nullptr;
  std::thread worker_;
  std::mutex mutex_;  // guards what follows, and every suspend
  std::condition_variable changed_;
  bool started_ = false;
  bool stopping_ = false;
  std::string library_error_;
  std::map<std::string, Clock::time_point> sessions_;  // token -> expiry
  std::map<std::string, Throttle> throttles_;          // address -> wrong passwords
  std::deque<std::function<void()>> logins_;           // password checks for the worker
  std::deque<std::function<void()>> voice_tasks_;      // for the voice thread
  std::thread voice_worker_;
  std::vector<std::shared_ptr<Waiting>> waiting_;
  std::set<Stream*> streams_;
  std::set<Peer*> peers_;
  std::vector<MHD_Connection*> to_resume_;  // marked, to be handed back without mutex_
  int resuming_ = 0;                        // threads handing connections back now
  std::string last_status_;
  std::optional<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>
      status_answer_;
  // Only the worker reads and writes these: "folder|format" -> when checked, and the verdict.
  std::map<std::string, std::pair<Clock::time_point, std::string>> verdicts_;
  unsigned voice_changes_ = 0;
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
