// The node bridge's key file; see node_key.h.
#include "node/bridge/node_key.h"
#include "shell/write_all.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <optional>

namespace horatone {
namespace {

// More than any key; a bigger file is not one.
constexpr off_t kLongestKeyFile = 4096;

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string Why(const std::filesystem::path& path, const std::string& what) {
  return "the node key " + path.string() + " " + what;
}

// The key in the file; nullopt when there is no file.
Result<std::optional<std::string>> ReadKey(const std::filesystem::path& root,
                                           const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::optional<std::string>();
    if (errno == ELOOP) return Status::BadInput(Why(path, "is a symbolic link, not the key file"));
    if (errno == EACCES) {
      return Status::Error(Why(path, "cannot be read: " + std::string(std::strerror(EACCES)) +
                                         "; only the owner and the group of " + root.string() +
                                         " may read it"));
    }
    return Status::Error(Why(path, "cannot be opened: " + std::string(std::strerror(errno))));
  }
  struct stat info {};
  std::string problem;
  if (::fstat(fd, &info) != 0) {
    problem = "cannot be read: " + std::string(std::strerror(errno));
  } else if (!S_ISREG(info.st_mode)) {
    problem = "is not a regular file";
  } else if ((info.st_mode & kNodeKey.refused_bits) != 0) {
    problem = "may be changed by others than its owner (mode " + ModeText(info.st_mode) +
              "), so anyone could let a node in; make it mode " + ModeText(kNodeKey.mode);
  } else if (info.st_size > kLongestKeyFile) {
    problem = "is " + std::to_string(info.st_size) + " bytes, too long for a key";
  }
  std::string text;
  while (problem.empty()) {
    char buffer[1024];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) problem = "cannot be read: " + std::string(std::strerror(errno));
    if (got <= 0 || text.size() > static_cast<std::size_t>(kLongestKeyFile)) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  if (!problem.empty()) return Status::BadInput(Why(path, problem));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  bool printable = text.size() >= kNodeKey.min_length;
  for (const char c : text) printable = printable && c > ' ' && c < 0x7f;
  if (!printable) {
    return Status::BadInput(Why(path, "holds no key: one line of at least " +
                                          std::to_string(kNodeKey.min_length) +
                                          " letters, digits or signs, without blanks"));
  }
  return std::optional<std::string>(std::move(text));
}

// A fresh key, as hex digits.
Result<std::string> RandomKey() {
  unsigned char random[kNodeKey.random_bytes];
  for (std::size_t done = 0; done < sizeof random;) {
    const ssize_t got = ::getrandom(random + done, sizeof random - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return Status::Error("getrandom: " + std::string(std::strerror(errno)));
    done += static_cast<std::size_t>(got);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string key;
  for (const unsigned char byte : random) {
    key += kHex[byte >> 4];
    key += kHex[byte & 15];
  }
  return key;
}

// Writes a new key as `path` unless one is there by then; false when one was (nothing written).
Result<bool> MakeKey(const std::filesystem::path& root, const std::filesystem::path& path) {
  const Result<std::string> key = RandomKey();
  if (!key) return Status::Error(Why(path, "cannot be made: " + key.message()));
  const auto failed = [&path](const std::string& what) {
    return Status::Error(Why(path, "cannot be made: " + what + ": " + std::strerror(errno)));
  };
  std::string temp = path.string() + ".XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return failed("cannot write in " + root.string());
  // Made by root, the key goes to the directory's owner and group (the service's user and the
  // node program's group); made by anyone else, to its group where that user may give it.
  struct stat folder {};
  bool good = ::stat(root.c_str(), &folder) == 0;
  if (good && ::geteuid() == 0) {
    good = ::fchown(fd, folder.st_uid, folder.st_gid) == 0;
  } else if (good && folder.st_gid != ::getegid()) {
    [[maybe_unused]] const int given = ::fchown(fd, static_cast<uid_t>(-1), folder.st_gid);
  }
  good = good && ::fchmod(fd, kNodeKey.mode) == 0;
  const std::string text = *key + "\n";
  good = good && WriteAllAndSync(fd, text);
  const int error = errno;
  ::close(fd);
  if (!good) {
    ::unlink(temp.c_str());
    errno = error;
    return failed("cannot write " + temp);
  }
  // The name is taken only where there is none, so that two starts at once agree on one key.
  int taken = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
  if (taken != 0 && (errno == EINVAL || errno == ENOSYS)) {
    taken = ::link(temp.c_str(), path.c_str());  // a file system without the flag
    if (taken == 0 || errno == EEXIST) ::unlink(temp.c_str());
  }
  if (taken != 0) {
    const int why = errno;
    ::unlink(temp.c_str());
    if (why == EEXIST) return false;
    errno = why;
    return failed("cannot name it");
  }
  if (const int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace

std::filesystem::path NodeKeyPath(const std::filesystem::path& root) {
  return root / kNodeKey.file_name;
}

Result<std::string> LoadOrMakeNodeKey(const std::filesystem::path& root) {
  const std::filesystem::path path = NodeKeyPath(root);
  for (int tries = 0; tries < 3; ++tries) {
    Result<std::optional<std::string>> present = ReadKey(root, path);
    if (!present) return present.status();
    if (*present) return std::move(**present);
    const Result<bool> made = MakeKey(root, path);
    if (!made) return made.status();
  }
  return Status::Error(Why(path, "comes and goes; another program is changing it"));
}

int NodeKeyCommand(const std::filesystem::path& root, std::ostream& out, std::ostream& err) {
  const Result<std::string> key = LoadOrMakeNodeKey(root);
  if (!key) {
    err << "horatone: " << key.message() << "\n";
    return 1;
  }
  out << *key << "\n";
  return 0;
}

}  // namespace horatone
