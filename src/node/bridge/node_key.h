// The node bridge's key: the secret a node program sends as `AUTH <key>` before the TCP door
// lets it in. It lives in the system directory, readable by the directory's owner and group
// (the service's user and the node program that is put in its group), made at the first start
// that needs it and never replaced. Its name and rules are kept here, once.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <ostream>
#include <string>

#include "shell/status.h"

namespace horatone {

struct NodeKeyRules {
  const char* file_name;   // in the system directory
  mode_t mode;             // of a key made here
  mode_t refused_bits;     // a key file with any of these is not trusted: others could change it
  int random_bytes;        // from getrandom, written as twice as many hex digits
  std::size_t min_length;  // a key file holding fewer characters is refused
};
inline constexpr NodeKeyRules kNodeKey{"horatone-node.key", 0640, 0022, 32, 32};

std::filesystem::path NodeKeyPath(const std::filesystem::path& root);

// The key in `root`, made first when there is none: random, written through a temporary file
// that takes the name only where none is (a key already there always wins), given to the
// directory's owner and group when made by root. A failure names the file and the reason: a
// key writable by others, one that cannot be read, or too short.
Result<std::string> LoadOrMakeNodeKey(const std::filesystem::path& root);

// `horatone node-key`: prints the key (made first if absent). Exit status 0, or 1 with the
// reason on `err`.
int NodeKeyCommand(const std::filesystem::path& root, std::ostream& out, std::ostream& err);

}  // namespace horatone
