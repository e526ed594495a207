// The FIFO and the code file shared with SvxLink's Tcl handler; see svx_event_files.h. The
// checks are made on the opened descriptor as well as on the path, so that what is used is
// what was checked.
#include "node/svxlink/svx_event_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace horatone {
namespace {

std::string ErrnoText() { return std::strerror(errno); }

std::string WhatIs(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a FIFO";
}

// Why the FIFO described by `info` is not the clock's to use; empty if it is.
std::string NotOurs(const struct stat& info) {
  if (!S_ISFIFO(info.st_mode)) return "is " + WhatIs(info.st_mode) + ", not a FIFO";
  if (info.st_uid != geteuid()) {
    return "is a FIFO of user " + std::to_string(info.st_uid) + ", not of the clock's user " +
           std::to_string(geteuid());
  }
  if ((info.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return std::string("is a FIFO that other users may open (mode ") + mode + ", not 0600)";
  }
  return {};
}

}  // namespace

std::string SvxCodeFilePath(const std::string& fifo) { return fifo + ".code"; }

Result<int> OpenSvxEventsFifo(const std::string& path) {
  const std::string remedy = "; remove it, or name another path";
  struct stat there {};
  if (lstat(path.c_str(), &there) != 0) {
    if (errno != ENOENT) return Status::Error(path + ": " + ErrnoText());
    // Made with no rights for anyone else, whatever the umask.
    if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
      return Status::Error("cannot make the FIFO " + path + ": " + ErrnoText());
    }
    if (lstat(path.c_str(), &there) != 0) return Status::Error(path + ": " + ErrnoText());
  }
  if (const std::string why = NotOurs(there); !why.empty())
    return Status::BadInput(path + " " + why + remedy);
  const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Status::Error("cannot open the FIFO " + path + ": " + ErrnoText());
  struct stat opened {};
  std::string why;
  if (fstat(fd, &opened) != 0) {
    why = "cannot be checked: " + ErrnoText();
  } else if (opened.st_dev != there.st_dev || opened.st_ino != there.st_ino) {
    why = "was replaced while it was opened";
  } else {
    why = NotOurs(opened);
  }
  if (!why.empty()) {
    close(fd);
    return Status::BadInput(path + " " + why + remedy);
  }
  return fd;
}

Status WriteSvxCodeFile(const std::string& path, std::string_view code) {
  std::string temp = path + ".XXXXXX";
  // mkstemp makes the file 0600, new, under a name nobody else chose.
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Status::Error("cannot write " + path + ": " + ErrnoText());
  const std::string line = std::string(code) + "\n";
  const bool written = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  const std::string error = written ? std::string() : ErrnoText();
  if (close(fd) != 0 || !written || rename(temp.c_str(), path.c_str()) != 0) {
    const std::string why = error.empty() ? ErrnoText() : error;
    unlink(temp.c_str());
    return Status::Error("cannot write " + path + ": " + why);
  }
  return Status::Ok();
}

}  // namespace horatone
