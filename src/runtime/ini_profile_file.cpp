#include "runtime/ini_profile_file.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "shell/utf8.h"
#include "shell/write_all.h"

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

// Far above any real settings file (one line per key, each at most a few hundred bytes), far below what
// would take memory or time to read.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 20;

std::string FileKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a file";
}

// Whether the user `uid` (primary group `gid`) may read a file of `info`, by its mode bits.
bool UserCanRead(uid_t uid, gid_t gid, const struct stat& info) {
  if (info.st_uid == uid) return (info.st_mode & S_IRUSR) != 0;
  std::vector<gid_t> groups{gid};
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    int count = 64;
    groups.resize(static_cast<std::size_t>(count));
    if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
      groups.resize(static_cast<std::size_t>(count));
      ::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count);
    }
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    groups.push_back(gid);
  }
  if (std::find(groups.begin(), groups.end(), info.st_gid) != groups.end()) {
    return (info.st_mode & S_IRGRP) != 0;
  }
  return (info.st_mode & S_IROTH) != 0;
}

// Serialises the writers of one folder's settings file across processes: a temporary file
// that exists while the lock is held belongs to a writer that was killed.
class FolderLock {
 public:
  explicit FolderLock(const std::filesystem::path& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_;
};

// Removes the temporary files `<prefix>XXXXXX` of earlier writers from `folder`.
void RemoveStaleTemporaries(const std::filesystem::path& folder, const std::string& prefix) {
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    struct stat info {};
    if (::lstat(it->path().c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      ::unlink(it->path().c_str());
    }
  }
}

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

Result<std::vector<IniProfileFile::Line>> IniProfileFile::Load() const {
  std::vector<Line> lines;
  const std::filesystem::path path = Path();
  struct stat seen {};
  if (::lstat(path.c_str(), &seen) != 0) {
    if (errno == ENOENT) return lines;
    return Status::Error(path.string() + ": " + ErrnoText());
  }
  const bool link = S_ISLNK(seen.st_mode);
  if (link) {
    if (Status safe = CheckLink(path, seen); !safe) return safe;
  }
  // Non-blocking, so that a FIFO planted under the file's name cannot stall the opening;
  // without following a link that was not there a moment ago.
  const int fd =
      ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (link ? 0 : O_NOFOLLOW));
  if (fd < 0) {
    if (errno == ENOENT && link) return lines;  // a link to nothing: no file yet
    return Status::Error(path.string() + ": cannot be read: " + ErrnoText());
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) return Status::Error(path.string() + ": " + ErrnoText());
  if (!S_ISREG(info.st_mode)) {
    return Status::Error(path.string() + ": not a regular file (" + FileKind(info.st_mode) +
                         "); not read");
  }
  if (info.st_size > static_cast<off_t>(kMaxFileBytes)) {
    return Status::Error(path.string() + ": " + std::to_string(info.st_size) +
                         " bytes, more than a settings file can be (" +
                         std::to_string(kMaxFileBytes) + "); not read");
  }
  Cache& cache = cache_;
  if (cache.valid && cache.device == info.st_dev && cache.inode == info.st_ino &&
      cache.size == info.st_size && cache.modified.tv_sec == info.st_mtim.tv_sec &&
      cache.modified.tv_nsec == info.st_mtim.tv_nsec &&
      cache.changed.tv_sec == info.st_ctim.tv_sec && cache.changed.tv_nsec == info.st_ctim.tv_nsec) {
    return cache.lines;
  }
  // Read to the limit and one byte beyond, in case the file grows while it is read.
  std::string bytes(static_cast<std::size_t>(info.st_size) + 1, '\0');
  std::size_t got = 0;
  for (;;) {
    if (got == bytes.size()) {
      if (bytes.size() > kMaxFileBytes) {
        return Status::Error(path.string() + ": more than a settings file can be (" +
                             std::to_string(kMaxFileBytes) + " bytes); not read");
      }
      bytes.resize(std::min(bytes.size() * 2, kMaxFileBytes + 1));
    }
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::Error(path.string() + ": cannot be read: " + ErrnoText());
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
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
  return lines;
}

Status IniProfileFile::CheckLink(const std::filesystem::path& path, const struct stat& link) const {
  // The clock runs as root or as the package's user, and the system directory may be
  // writable by a group: a link planted there by another member must not make the clock
  // read, or copy into a new file, what that member could not read. Every link on the way
  // counts, since any one of them could point anywhere.
  std::error_code error;
  const std::filesystem::path target = std::filesystem::canonical(path, error);
  if (error) return Status::Ok();  // a link to nothing reads as no file
  const std::filesystem::path root = std::filesystem::canonical(mapper_.system_dir(), error);
  if (!error) {
    const auto [r, t] = std::mismatch(root.begin(), root.end(), target.begin(), target.end());
    if (r == root.end()) return Status::Ok();
  }
  struct stat info {};
  const bool target_known = ::stat(target.c_str(), &info) == 0;
  std::filesystem::path hop = path;
  struct stat hop_info = link;
  for (int hops = 0; hops < 40 && S_ISLNK(hop_info.st_mode); ++hops) {
    const uid_t owner = hop_info.st_uid;
    if (owner != 0 && owner != ::geteuid() &&
        !(target_known && UserCanRead(owner, hop_info.st_gid, info))) {
      return Status::Error(path.string() + ": a link owned by user " + std::to_string(owner) +
                           " leads to " + target.string() +
                           ", which that user cannot read; refused (replace the link with the "
                           "file)");
    }
    const std::filesystem::path next = std::filesystem::read_symlink(hop, error);
    if (error) break;
    hop = next.is_absolute() ? next : hop.parent_path() / next;
    if (::lstat(hop.c_str(), &hop_info) != 0) break;
  }
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
    if (equals == std::string::npos) continue;  // not a key, whatever it says
    if (found.key < 0 && SameName(Trim(text.substr(0, equals)), key)) found.key = i;
  }
  return found;
}

std::string IniProfileFile::GetString(const std::string& section, const std::string& key,
                                      const std::string& default_value) {
  std::string value;
  bool found = false;
  // A file that cannot be read gives the defaults here; Check() says why.
  if (const Result<std::vector<Line>> lines = Load()) {
    const Lookup lookup = Find(*lines, section, key);
    if (lookup.key >= 0) {
      const std::string& text = (*lines)[lookup.key].text;
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

Status IniProfileFile::Check() const { return Load().status(); }

Status IniProfileFile::WriteString(const std::string& section, const std::string& key,
                                   const std::string& value) {
  return WriteStrings(section, {{key, value}});
}

Status IniProfileFile::WriteStrings(const std::string& section,
                                    const std::vector<std::pair<std::string, std::string>>& keys) {
  for (const auto& [key, value] : keys) {
    if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
      return Status::Error("the value of " + key + " holds a line break");
    }
  }
  const FolderLock lock(Path().parent_path());
  Result<std::vector<Line>> loaded = Load();
  if (!loaded) return loaded.status();
  std::vector<Line>& lines = *loaded;
  for (const auto& [key, value] : keys) Apply(lines, section, key, value);
  return Store(lines);
}

void IniProfileFile::Apply(std::vector<Line>& lines, const std::string& section,
                           const std::string& key, const std::string& value) const {
  const Lookup lookup = Find(lines, section, key);
  if (lookup.key >= 0) {
    Line& line = lines[lookup.key];
    const std::string own_key = Trim(line.text.substr(0, line.text.find('=')));
    line.text = own_key + "=" + value;
  } else if (lookup.section < 0) {
    if (!lines.empty() && lines.back().end.empty()) lines.back().end = "\r\n";
    lines.push_back({"[" + section + "]", "\r\n"});
    lines.push_back({key + "=" + value, "\r\n"});
  } else {
    const int after = lookup.last_key >= 0 ? lookup.last_key : lookup.section;
    if (lines[after].end.empty()) lines[after].end = "\r\n";
    lines.insert(lines.begin() + after + 1, Line{key + "=" + value, "\r\n"});
  }
}

Status IniProfileFile::DeleteKey(const std::string& section, const std::string& key) {
  const FolderLock lock(Path().parent_path());
  Result<std::vector<Line>> loaded = Load();
  if (!loaded) return loaded.status();
  std::vector<Line>& lines = *loaded;
  const Lookup lookup = Find(lines, section, key);
  if (lookup.key < 0) return Status::Ok();
  lines.erase(lines.begin() + lookup.key);
  return Store(lines);
}

Status IniProfileFile::Store(std::vector<Line>& lines) {
  const std::filesystem::path path = Path();
  // The file written ends every line, its last one included.
  if (!lines.empty() && lines.back().end.empty()) lines.back().end = "\r\n";
  std::string bytes;
  for (const Line& line : lines) bytes += line.text + line.end;

  // A temporary file in the same folder, flushed, then renamed over the old one: a crash at
  // any moment leaves either the old file or the new one. The caller holds the folder's lock,
  // so the temporary files of writers killed before their rename can go now.
  const std::string prefix = "." + path.filename().string() + ".";
  RemoveStaleTemporaries(path.parent_path(), prefix);
  std::string temp = (path.parent_path() / (prefix + "XXXXXX")).string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return Status::Error(path.string() + ": " + ErrnoText());
  struct stat info {};
  mode_t mode = 0644;
  if (::stat(path.c_str(), &info) == 0) mode = info.st_mode & 07777;
  bool ok = ::fchmod(fd, mode) == 0;
  ok = ok && WriteAllAndSync(fd, bytes);
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
