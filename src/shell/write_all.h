// Writing a whole buffer to a file descriptor and flushing it to the disk, as every file the
// clock replaces atomically (write a temporary file, then rename it) does.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>

namespace horatone {

// True once all of `bytes` is written to `fd` and synced; else false with errno saying why.
inline bool WriteAllAndSync(int fd, std::string_view bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return ::fsync(fd) == 0;
}

}  // namespace horatone
