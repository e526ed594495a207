// `horatone web-password`: sets the web page's password. Only a salted slow hash (yescrypt,
// through libcrypt) is kept, in the system directory, readable by its owner alone.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <istream>
#include <ostream>
#include <string>

#include "shell/status.h"

namespace horatone {

// Writes `text` as `path` with `mode`, through a temporary file in the same folder. Written by
// root, the file goes to the owner of the system directory (the service's user), who must
// read it.
Status WriteOwnedFile(const std::filesystem::path& path, const std::string& text, mode_t mode);

// The hash of `password` with a fresh salt; an error when libcrypt cannot make one.
Result<std::string> HashWebPassword(const std::string& password);

// Reads the password from `in` (asked twice, without echo, when `in` is a terminal) and
// stores its hash, then names the page's certificate (made when there is none) and its
// fingerprint. A password shorter than 8 or of blanks only is refused. Exit status: 0 stored,
// 1 not stored (the reason on `err`).
int WebPasswordCommand(const std::filesystem::path& root, std::istream& in, bool terminal,
                       std::ostream& err);

}  // namespace horatone
