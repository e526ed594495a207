// Maps folder and file texts as the operator writes them (Windows style, so that a settings
// file moves between systems unchanged) to files on this system. A drive letter becomes a
// folder under the system directory (C:\ -> <system dir>/C/), backslashes become slashes,
// and a name not found as written is looked up without regard to letter case. POSIX
// absolute paths pass through unchanged; other relative names are taken from the system
// directory, as a bare name is on the original system.
#pragma once

#include <filesystem>
#include <string>

namespace horatone {

class PathMapper {
 public:
  explicit PathMapper(std::filesystem::path system_dir);

  const std::filesystem::path& system_dir() const { return system_dir_; }

  // The path on this system; for a file that exists under another letter case, that file.
  std::filesystem::path Map(const std::string& operator_path) const;

 private:
  std::filesystem::path system_dir_;
};

}  // namespace horatone
