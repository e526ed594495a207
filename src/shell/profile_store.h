// The settings file as the window model sees it: the profile reader and writer of the
// original system, one key at a time. The platform's IniProfileFile implements it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "shell/status.h"

namespace horatone {

class ProfileStore {
 public:
  virtual ~ProfileStore() = default;
  // The value of `key` in `section`, or `default_value` less its trailing blanks when the key
  // is absent; at most 255 characters either way. A key present with an empty value is empty.
  virtual std::string GetString(const std::string& section, const std::string& key,
                                const std::string& default_value) = 0;
  // Writes one key, creating the file and section as needed; the file is replaced whole and
  // atomically, so it always holds either the old or the new line.
  virtual Status WriteString(const std::string& section, const std::string& key,
                             const std::string& value) = 0;
  // Writes several keys as one replacement of the file, with the same result as writing them
  // one after the other. The file's own implementation writes none of them on failure.
  virtual Status WriteStrings(const std::string& section,
                              const std::vector<std::pair<std::string, std::string>>& keys) {
    for (const auto& [key, value] : keys) {
      if (Status written = WriteString(section, key, value); !written) return written;
    }
    return Status::Ok();
  }
  virtual Status DeleteKey(const std::string& section, const std::string& key) = 0;
  // Whether the file can be read: ok when it can, or when there is none; otherwise a message
  // naming the file and the reason (lookups then give the defaults).
  virtual Status Check() const { return Status::Ok(); }
  // The file's path, for messages.
  virtual std::string Describe() const = 0;
};

}  // namespace horatone
