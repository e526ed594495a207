// SvxLink's configuration file, line by line; see svx_config.h.
#include "node/svxlink/svx_config.h"

#include <algorithm>

#include "node/log_text.h"

namespace horatone {
namespace {

constexpr std::size_t kShown = 60;

std::string_view Trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool IsKeyText(std::string_view key) {
  return !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
  });
}

// A quoted piece of a value: starts and ends with a quote.
bool IsQuoted(std::string_view value) {
  return value.size() >= 2 && value.front() == '"' && value.back() == '"';
}

}  // namespace

Result<SvxConfigFile> SvxConfigFile::Parse(std::string_view text, std::string_view name) {
  SvxConfigFile file;
  file.ends_with_newline_ = text.empty() || text.back() == '\n';
  std::string section;
  bool may_continue = false;  // the last value was quoted: a quoted line may follow it
  std::size_t number = 0;
  const auto refuse = [&](const std::string& why, std::string_view line) {
    return Status::BadInput(std::string(name) + ", line " + std::to_string(number) + ": " + why +
                            ": \"" + LogText(line, kShown) + "\"");
  };
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    Line line{std::string(raw), section, {}, {}, false};
    const std::string_view body = Trimmed(raw);
    if (body.find('\0') != std::string_view::npos) return refuse("a NUL byte", raw);
    if (body.empty() || body.front() == '#') {
      file.lines_.push_back(std::move(line));
      continue;
    }
    if (body.front() == '[') {
      if (body.back() != ']' || !IsKeyText(body.substr(1, body.size() - 2)))
        return refuse("not a section name", raw);
      section = std::string(body.substr(1, body.size() - 2));
      line.section = section;
      may_continue = false;
      file.lines_.push_back(std::move(line));
      continue;
    }
    if (body.front() == '"') {
      if (!may_continue) return refuse("a quoted line after no quoted value", raw);
      if (!IsQuoted(body)) return refuse("a quote that does not end", raw);
      line.continuation = true;
      file.lines_.push_back(std::move(line));
      continue;
    }
    const std::size_t equals = body.find('=');
    if (equals == std::string_view::npos) return refuse("neither KEY=VALUE nor a section", raw);
    const std::string_view key = Trimmed(body.substr(0, equals));
    if (!IsKeyText(key)) return refuse("not a key", raw);
    if (section.empty()) return refuse("a value before the first section", raw);
    const std::string_view value = Trimmed(body.substr(equals + 1));
    if (!value.empty() && value.front() == '"' && !IsQuoted(value))
      return refuse("a quote that does not end", raw);
    line.key = std::string(key);
    line.value = std::string(value);
    may_continue = !value.empty() && value.front() == '"';
    file.lines_.push_back(std::move(line));
  }
  return file;
}

bool SvxConfigFile::HasSection(std::string_view section) const {
  return std::any_of(lines_.begin(), lines_.end(), [&](const Line& line) {
    return line.key.empty() && !line.continuation && line.section == section &&
           Trimmed(line.text).substr(0, 1) == "[";
  });
}

std::optional<std::string> SvxConfigFile::Get(std::string_view section,
                                              std::string_view key) const {
  std::optional<std::string> found;
  for (const Line& line : lines_) {
    if (line.section != section || line.key != key) continue;
    found = IsQuoted(line.value) ? line.value.substr(1, line.value.size() - 2) : line.value;
  }
  return found;
}

void SvxConfigFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  const std::string text = std::string(key) + "=" + std::string(value);
  // The line SvxLink reads, the last; others that set the key before it keep their text.
  auto last = lines_.end();
  for (auto it = lines_.begin(); it != lines_.end(); ++it) {
    if (it->section == section && it->key == key) last = it;
  }
  if (last != lines_.end()) {
    last->text = text;
    last->value = std::string(value);
    auto after = std::next(last);
    while (after != lines_.end() && after->continuation) after = lines_.erase(after);
    return;
  }
  if (!HasSection(section)) {
    if (!lines_.empty() && !Trimmed(lines_.back().text).empty())
      lines_.push_back({"", lines_.back().section, {}, {}, false});
    lines_.push_back({"[" + std::string(section) + "]", std::string(section), {}, {}, false});
    lines_.push_back({text, std::string(section), std::string(key), std::string(value), false});
    return;
  }
  // After the section's last value, before the blank lines and comments that end it.
  auto at = lines_.end();
  for (auto it = lines_.begin(); it != lines_.end(); ++it) {
    if (it->section != section) continue;
    if (!it->key.empty() || it->continuation || Trimmed(it->text).substr(0, 1) == "[")
      at = std::next(it);
  }
  lines_.insert(at, {text, std::string(section), std::string(key), std::string(value), false});
}

std::string SvxConfigFile::Text() const {
  std::string text;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    text += lines_[i].text;
    if (i + 1 < lines_.size() || ends_with_newline_) text += '\n';
  }
  return text;
}

std::vector<std::string> SplitSvxList(std::string_view value) {
  std::vector<std::string> items;
  while (true) {
    const std::size_t comma = value.find(',');
    const std::string_view item = Trimmed(value.substr(0, comma));
    if (!item.empty()) items.emplace_back(item);
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return items;
}

}  // namespace horatone
