// `horatone config`: reads and writes the settings file from a shell, over the same window
// model and profile file as the clock itself.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace horatone {

// args: the words after "config" (with any --root already taken out). Returns the exit code:
// 0 done, 1 the file could not be read or written, 2 usage.
int ConfigCommand(const std::vector<std::string>& args, const std::filesystem::path& root,
                  std::ostream& out, std::ostream& err);

}  // namespace horatone
