#include "platform/ini_profile_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

namespace horatone {
namespace {

constexpr size_t kMaxValueCharacters = 255;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The section name of a section line, or nothing for other lines.
std::optional<std::string> SectionName(const std::string& line) {
  const std::string trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() != '[') return std::nullopt;
  const size_t close = trimmed.find(']');
  return Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
}

bool IsCommentOrBlank(const std::string& line) {
  const std::string trimmed = Trim(line);
  return trimmed.empty() || trimmed.front() == ';';
}

// Length of a valid UTF-8 sequence starting at `i`, or 0.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  size_t length;
  unsigned min;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) length = 2, min = 0x80;
  else if ((c & 0xF0) == 0xE0) length = 3, min = 0x800;
  else if ((c & 0xF8) == 0xF0) length = 4, min = 0x10000;
  else return 0;
  if (i + length > s.size()) return 0;
  unsigned code = c & (0x7F >> length);
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

bool IsValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const size_t n = Utf8SequenceLength(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

void AppendUtf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Windows-1252's 0x80 to 0x9F; the five unassigned bytes keep their Latin-1 code points.
constexpr unsigned kCp1252High[32] = {
    0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};

// At most `limit` characters (code points) of valid UTF-8 text.
std::string CutCharacters(const std::string& text, size_t limit) {
  size_t i = 0, count = 0;
  while (i < text.size() && count < limit) {
    i += Utf8SequenceLength(text, i);
    ++count;
  }
  return text.substr(0, i);
}

std::string ErrnoText() { return std::strerror(errno); }

}  // namespace

std::string ToUtf8(const std::string& bytes) {
  if (IsValidUtf8(bytes)) return bytes;
  std::string out;
  for (unsigned char c : bytes) {
    AppendUtf8(out, c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c);
  }
  return out;
}

IniProfileFile::IniProfileFile(const PathMapper& mapper, std::string name)
    : mapper_(mapper), name_(std::move(name)) {}

std::filesystem::path IniProfileFile::Path() const { return mapper_.Map(name_); }

std::string IniProfileFile::Describe() const { return Path().string(); }

Status IniProfileFile::Load(std::vector<Line>& lines) const {
  lines.clear();
  const std::filesystem::path path = Path();
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return Status::Ok();
    return Status::Error(path.string() + ": " + ErrnoText());
  }
  Cache& cache = cache_;
  if (cache.valid && cache.device == info.st_dev && cache.inode == info.st_ino &&
      cache.size == info.st_size && cache.modified.tv_sec == info.st_mtim.tv_sec &&
      cache.modified.tv_nsec == info.st_mtim.tv_nsec &&
      cache.changed.tv_sec == info.st_ctim.tv_sec && cache.changed.tv_nsec == info.st_ctim.tv_nsec) {
    lines = cache.lines;
    return Status::Ok();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return Status::Error(path.string() + ": " + ErrnoText());
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string bytes = buffer.str();
  Line current;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r' || c == '\n') {
      current.end = (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ? "\r\n" : std::string(1, c);
      if (current.end == "\r\n") ++i;
      lines.push_back(std::move(current));
      current = Line{};
    } else {
      current.text += c;
    }
  }
  if (!current.text.empty()) lines.push_back(std::move(current));
  cache = Cache{true, info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim, lines};
  return Status::Ok();
}

IniProfileFile::Lookup IniProfileFile::Find(const std::vector<Line>& lines,
                                            const std::string& section,
                                            const std::string& key) const {
  Lookup found;
  for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
    const std::string& text = lines[i].text;
    if (const std::optional<std::string> name = SectionName(text)) {
      if (found.section >= 0) break;  // the section has ended
      if (SameName(*name, section)) found.section = i;
      continue;
    }
    if (found.section < 0 || IsCommentOrBlank(text)) continue;
    found.last_key = i;
    const size_t equals = text.find('=');
    const std::string name = Trim(text.substr(0, equals));
    if (found.key < 0 && SameName(name, key)) found.key = i;
  }
  return found;
}

std::string IniProfileFile::GetString(const std::string& section, const std::string& key,
                                      const std::string& default_value) {
  std::vector<Line> lines;
  std::string value;
  bool found = false;
  if (Load(lines)) {
    const Lookup lookup = Find(lines, section, key);
    if (lookup.key >= 0) {
      const std::string& text = lines[lookup.key].text;
      const size_t equals = text.find('=');
      value = equals == std::string::npos ? std::string() : Trim(text.substr(equals + 1));
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      found = true;
    }
  }
  if (!found) {
    value = default_value;
    while (!value.empty() && IsBlank(value.back())) value.pop_back();
  }
  if (const size_t nul = value.find('\0'); nul != std::string::npos) value.resize(nul);
  return CutCharacters(ToUtf8(value), kMaxValueCharacters);
}

Status IniProfileFile::WriteString(const std::string& section, const std::string& key,
                                   const std::string& value) {
  if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    return Status::Error("the value of " + key + " holds a line break");
  }
  std::vector<Line> lines;
  if (Status loaded = Load(lines); !loaded) return loaded;
  const Lookup lookup = Find(lines, section, key);
  if (lookup.key >= 0) {
    Line& line = lines[lookup.key];
    const std::string own_key = Trim(line.text.substr(0, line.text.find('=')));
    line.text = own_key + "=" + value;
  } else {
    if (lookup.section < 0) {
      if (!lines.empty() && lines.back().end.empty()) lines.back().end = "\r\n";
      lines.push_back({"[" + section + "]", "\r\n"});
      lines.push_back({key + "=" + value, "\r\n"});
    } else {
      const int after = lookup.last_key >= 0 ? lookup.last_key : lookup.section;
      if (lines[after].end.empty()) lines[after].end = "\r\n";
      lines.insert(lines.begin() + after + 1, Line{key + "=" + value, "\r\n"});
    }
  }
  return Store(lines);
}

Status IniProfileFile::DeleteKey(const std::string& section, const std::string& key) {
  std::vector<Line> lines;
  if (Status loaded = Load(lines); !loaded) return loaded;
  const Lookup lookup = Find(lines, section, key);
  if (lookup.key < 0) return Status::Ok();
  lines.erase(lines.begin() + lookup.key);
  return Store(lines);
}

Status IniProfileFile::Store(const std::vector<Line>& lines) {
  const std::filesystem::path path = Path();
  std::string bytes;
  for (const Line& line : lines) bytes += line.text + line.end;

  // A temporary file in the same folder, flushed, then renamed over the old one: a crash at
  // any moment leaves either the old file or the new one.
  std::string temp = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return Status::Error(path.string() + ": " + ErrnoText());
  struct stat info {};
  mode_t mode = 0644;
  if (::stat(path.c_str(), &info) == 0) mode = info.st_mode & 07777;
  bool ok = ::fchmod(fd, mode) == 0;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  const std::string failure = ok ? std::string() : ErrnoText();
  ::close(fd);
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    const std::string why = ok ? ErrnoText() : failure;
    ::unlink(temp.c_str());
    return Status::Error(path.string() + ": " + why);
  }
  const int dir = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  cache_.valid = false;
  return Status::Ok();
}

}  // namespace horatone
