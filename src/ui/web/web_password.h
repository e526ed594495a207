// `horatone web-password`: sets the web page's password. Only a salted slow hash (yescrypt,
// through libcrypt) is kept, in the system directory, readable by its owner alone.
#pragma once

#include <filesystem>
#include <istream>
#include <ostream>
#include <string>

#include "shell/status.h"

namespace horatone {

// The hash of `password` with a fresh salt; an error when libcrypt cannot make one.
Result<std::string> HashWebPassword(const std::string& password);

// Reads the password from `in` (asked twice, without echo, when `in` is a terminal) and
// stores its hash. Exit status: 0 stored, 1 not stored (the reason on `err`).
int WebPasswordCommand(const std::filesystem::path& root, std::istream& in, bool terminal,
                       std::ostream& err);

}  // namespace horatone
