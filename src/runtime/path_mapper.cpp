// Path mapping for operator-written paths; see path_mapper.h.
#include "runtime/path_mapper.h"

#include <algorithm>
#include <cctype>
#include <system_error>
#include <vector>

namespace horatone {
namespace {

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

std::vector<std::string> SplitComponents(const std::string& path) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : path) {
    if (c == '\\' || c == '/') {
      if (!current.empty()) parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) parts.push_back(current);
  return parts;
}

// Appends `name` to `dir`: as written when that exists, else the one entry of `dir` whose
// name matches without regard to case, else as written (so that the caller's open fails).
std::filesystem::path Resolve(const std::filesystem::path& dir, const std::string& name) {
  std::error_code ec;
  std::filesystem::path exact = dir / name;
  if (name == "." || name == ".." || std::filesystem::exists(exact, ec)) return exact;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (SameIgnoringCase(entry, name)) return it->path();
  }
  return exact;
}

}  // namespace

PathMapper::PathMapper(std::filesystem::path system_dir) : system_dir_(std::move(system_dir)) {}

std::filesystem::path PathMapper::Map(const std::string& operator_path) const {
  if (!operator_path.empty() && operator_path.front() == '/') return operator_path;

  std::filesystem::path base = system_dir_;
  std::string rest = operator_path;
  if (rest.size() >= 2 && rest[1] == ':' && std::isalpha(static_cast<unsigned char>(rest[0]))) {
    base = Resolve(base, std::string(1, static_cast<char>(std::toupper(
                                            static_cast<unsigned char>(rest[0])))));
    rest = rest.substr(2);
  }
  std::filesystem::path result = base;
  for (const std::string& part : SplitComponents(rest)) result = Resolve(result, part);
  return result;
}

}  // namespace horatone
