// The web page of the headless clock: an HTTP server (cpp-httplib) on its own threads that
// serves one page, its live status (server-sent events) and the page's requests. Its threads
// never touch the window model: every request that reads or changes the clock is posted to
// the loop, runs through Form1::Dispatch like any other event, and the request waits for the
// answer (with a time limit). Nobody connected, the server sleeps in accept() and costs nothing.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "shell/status.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace horatone {

class Form1;
class PosixLoop;

// The last lines of the clock's log, for the page. Safe from any thread.
class RecentLogLines {
 public:
  static constexpr std::size_t kKept = 50;
  void Add(const std::string& line);
  std::vector<std::string> Lines() const;

 private:
  mutable std::mutex mutex_;
  std::deque<std::string> lines_;
};

// "ADDR:PORT" (an IPv6 address in brackets) split; nullopt with `why` when it is not one.
struct WebAddress {
  std::string host;
  int port = 0;
  bool loopback = false;
};
std::optional<WebAddress> ParseWebAddress(const std::string& text, std::string* why);

// The file that holds the page's password hash, in the system directory.
std::filesystem::path WebPasswordFile(const std::filesystem::path& root);

// Why the clock must not start with `--web text` (a bad address, or a non-loopback address
// without a password); nothing when it may.
std::optional<std::string> WebStartProblem(const std::string& text,
                                           const std::filesystem::path& root);

class WebServer {
 public:
  struct Hooks {
    // Run on the loop thread: the node's state in a few words.
    std::function<std::string()> node_state;
    std::function<void(const std::string&)> log;
  };
  // Binds and starts serving; nullptr with `why` when the address cannot be bound or the
  // password file cannot be read.
  static std::unique_ptr<WebServer> Start(const std::string& address,
                                          const std::filesystem::path& root, PosixLoop& loop,
                                          Form1& form, const RecentLogLines& log_lines, Hooks hooks,
                                          Status* why);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;
  // Ends every request and joins the threads; at once, whatever the loop is doing.
  void Stop();

 private:
  WebServer(PosixLoop& loop, Form1& form, const RecentLogLines& log_lines, Hooks hooks);
  void Route();
  // Runs `task` on the loop and waits for it; false when it did not run in time.
  bool OnLoop(std::function<void()> task);
  std::string StatusJson();
  // A line for the clock's log, written on the loop thread.
  void Log(const std::string& line);
  std::string VoiceVerdicts(const std::vector<std::pair<std::string, std::string>>& voices);
  // Whether the request may go on: its session (when there is a password) and, for a change,
  // its CSRF token. Fills the refusal otherwise.
  bool Allowed(const httplib::Request& request, httplib::Response& response, bool changes);
  bool HasSession(const httplib::Request& request);
  // A page bound to loopback answers only requests addressed to a loopback name, so that a
  // site whose name has been pointed at 127.0.0.1 cannot read the page and its token.
  bool AddressedHere(const httplib::Request& request) const;
  void Login(const httplib::Request& request, httplib::Response& response);
  void Events(httplib::Response& response);

  PosixLoop& loop_;
  Form1& form_;
  const RecentLogLines& log_lines_;
  Hooks hooks_;
  std::filesystem::path root_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::string password_hash_;  // empty: no password set
  std::string csrf_token_;
  std::mutex mutex_;  // guards what follows, and the waits of OnLoop
  std::condition_variable changed_;
  bool stopping_ = false;
  std::map<std::string, std::int64_t> sessions_;  // token -> expiry (steady seconds)
  std::map<std::string, int> failures_;           // address -> wrong passwords in a row
  // "folder|format" -> when it was checked (steady seconds) and the verdict.
  std::map<std::string, std::pair<std::int64_t, std::string>> verdicts_;
  bool loopback_ = false;
  std::atomic<int> event_streams_{0};
};

}  // namespace horatone
