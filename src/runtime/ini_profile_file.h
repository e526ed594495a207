// The settings file with the observable rules of the Windows profile functions, so that files
// written on the original system and by hand read the same: names match without regard to
// case, blanks around keys and values and one pair of outer quotes are dropped, ';' starts a
// comment line, a line without '=' is no key, the first of duplicate keys wins, values are cut
// to 255 characters. Writing replaces the whole file atomically, under a lock on its folder,
// and keeps every other line byte for byte (a last line without its end gets one). Only a
// regular file of at most 1 MiB is read, and a link only where its owner could read the file. Text
// is UTF-8; a line that is not valid UTF-8 is read as Windows-1252.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "runtime/path_mapper.h"
#include "shell/profile_store.h"

namespace horatone {

class IniProfileFile : public ProfileStore {
 public:
  // The file `name`, found by its bare name in the mapper's system directory.
  IniProfileFile(const PathMapper& mapper, std::string name);

  std::string GetString(const std::string& section, const std::string& key,
                        const std::string& default_value) override;
  Status WriteString(const std::string& section, const std::string& key,
                     const std::string& value) override;
  Status WriteStrings(const std::string& section,
                      const std::vector<std::pair<std::string, std::string>>& keys) override;
  Status DeleteKey(const std::string& section, const std::string& key) override;
  std::string Describe() const override;
  Status Check() const override;

  // Where the file is (or would be created).
  std::filesystem::path Path() const;

 private:
  struct Line {
    std::string text;  // without its line end
    std::string end;   // "\r\n", "\n", "\r" or "" for a last line without one
  };
  struct Lookup {
    int section = -1;    // index of the section line, -1 when absent
    int key = -1;        // index of the key's line, -1 when absent
    int last_key = -1;   // index of the section's last key line
  };

  // Reads the file; an absent file is empty. Only a regular file of a sane size is read, and
  // a link only when CheckLink allows it; anything else is an error naming the file.
  Result<std::vector<Line>> Load() const;
  Status CheckLink(const std::filesystem::path& path, const struct stat& link) const;
  // One key's write on the lines, as the profile writer makes it.
  void Apply(std::vector<Line>& lines, const std::string& section, const std::string& key,
             const std::string& value) const;
  Lookup Find(const std::vector<Line>& lines, const std::string& section,
              const std::string& key) const;
  // Replaces the file with `lines`; the caller holds the folder lock.
  Status Store(std::vector<Line>& lines);

  const PathMapper& mapper_;
  std::string name_;
  // The last file read, kept while the file is unchanged on disk.
  struct Cache {
    bool valid = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    std::vector<Line> lines;
  };
  mutable Cache cache_;
};

// Converts bytes that are not valid UTF-8 from Windows-1252; valid UTF-8 is returned as is.
std::string ToUtf8(const std::string& bytes);

}  // namespace horatone
