// The far end of a socket, a pipe or a child process, for tests that talk to real descriptors:
// connecting to a loopback port, reading lines with a bound, and starting a program. Every
// wait is bounded, so a fault fails its test instead of hanging it.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace horatone::testing {

// A TCP socket connected to 127.0.0.1:port, or -1.
inline int ConnectLoopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  close(fd);
  return -1;
}

// A socket of `type` bound to a free loopback port, which is put in `*port`; -1 on failure.
inline int BindLoopback(int type, int* port) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// Writes all of `bytes` to a socket or a pipe; a closed far end is a failure, not a signal.
inline bool WriteAll(int fd, const std::string& bytes) {
  ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  if (sent < 0 && errno == ENOTSOCK) sent = write(fd, bytes.data(), bytes.size());
  return sent == static_cast<ssize_t>(bytes.size());
}

// The lines arriving on a descriptor, each without its LF.
class Lines {
 public:
  explicit Lines(int fd) : fd_(fd) {}
  // The next line; nullopt at the end of input or when none comes within `limit`.
  std::optional<std::string> Next(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (const auto end = buffer_.find('\n'); end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            give_up - std::chrono::steady_clock::now())
                            .count();
      pollfd ready{fd_, POLLIN, 0};
      if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) return std::nullopt;
      char chunk[8192];
      const ssize_t got = read(fd_, chunk, sizeof chunk);
      if (got <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(got));
    }
  }
  // Every line up to the end of input (or a pause of `limit`).
  std::vector<std::string> Rest(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::vector<std::string> lines;
    while (auto line = Next(limit)) lines.push_back(std::move(*line));
    return lines;
  }

 private:
  int fd_;
  std::string buffer_;
};

// Starts `args` (found on PATH) with stdin and stdout on `in` and `out` (-1: /dev/null) and
// stderr into the file `err`; the process id, or -1.
inline pid_t Spawn(std::vector<std::string> args, int in = -1, int out = -1,
                   const std::string& err = "/dev/null") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const auto& [from, to] : {std::pair{in, 0}, std::pair{out, 1}}) {
    if (from >= 0) {
      posix_spawn_file_actions_adddup2(&actions, from, to);
    } else {
      posix_spawn_file_actions_addopen(&actions, to, "/dev/null", O_RDWR, 0);
    }
  }
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed ? -1 : pid;
}

}  // namespace horatone::testing
