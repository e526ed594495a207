// SvxLink's configuration file (svxlink.conf) as the clock's set-up edits it: kept line by
// line, so that an edit touches only the lines of the values it sets and leaves every comment,
// blank line and other value where it was. The file's syntax is SvxLink's: [SECTION] lines,
// KEY=VALUE lines, '#' comments, and a quoted value continued on lines that start with a
// quote. What is none of these is refused, with its line number, before anything is changed.
// Pure.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/status.h"

namespace horatone {

class SvxConfigFile {
 public:
  // `name` names the file in the messages.
  static Result<SvxConfigFile> Parse(std::string_view text, std::string_view name);

  bool HasSection(std::string_view section) const;
  // The value of `key` in `section`, its quotes taken off when it is one quoted line; the last
  // one where the file sets it twice, as SvxLink reads it.
  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  // Sets `key` in `section` to `value` (written as it is): its line is rewritten in place
  // (continuation lines go with it), or a line is added at the end of the section, or the
  // section is added at the end of the file.
  void Set(std::string_view section, std::string_view key, std::string_view value);
  std::string Text() const;

 private:
  struct Line {
    std::string text;
    std::string section;  // the section the line is in ("" before the first)
    std::string key;      // for a KEY=VALUE line
    std::string value;    // its value, trimmed, quotes and all
    bool continuation = false;
  };
  std::vector<Line> lines_;
  bool ends_with_newline_ = true;
};

// SvxLink's list values ("Rx1,HoratoneRx"), split at the commas and trimmed.
std::vector<std::string> SplitSvxList(std::string_view value);

}  // namespace horatone
