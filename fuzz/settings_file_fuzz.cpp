// The settings file reader and writer on whatever bytes a file may hold. Reading never fails
// or crashes; writing one key reads back as written and leaves every other key's value as it
// was; deleting it leaves the others alone as well.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <string>

#include "fuzz_support.h"
#include "runtime/ini_profile_file.h"

namespace {

using horatone::IniProfileFile;
using horatone::PathMapper;

constexpr const char* kSection = "SETTINGS";
constexpr const char* kKeys[] = {"CHECK1", "check2", "FILELOCATION", "VolSet", "TEXT9",
                                 "DTMFTIME", "LEFT",  "TOP",          "OPTION3", "ONHOUR"};
constexpr const char* kWritten = "VOLSET";

// A value that reads back exactly as written: printable ASCII without outer blanks or quotes.
bool PlainValue(const std::string& value) {
  if (value.size() > 255) return false;
  for (char c : value) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  if (!value.empty() && (value.front() == ' ' || value.back() == ' ' || value.front() == '"' ||
                         value.front() == '\'')) {
    return false;
  }
  return true;
}

std::map<std::string, std::string> ReadKeys(IniProfileFile& file) {
  std::map<std::string, std::string> values;
  for (const char* key : kKeys) values[key] = file.GetString(kSection, key, "\x01missing");
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  // The first line is the value to write; all of it is the file.
  const std::string value = bytes.substr(0, bytes.find('\n'));
  const std::filesystem::path& dir = horatone::fuzz::ScratchDir();
  std::filesystem::remove(dir / "Horatone.ini");
  std::ofstream(dir / "Horatone.ini", std::ios::binary) << bytes;

  PathMapper mapper(dir);
  IniProfileFile file(mapper, "Horatone.ini");
  const auto before = ReadKeys(file);
  (void)horatone::ToUtf8(bytes);

  const horatone::Status written = file.WriteString(kSection, kWritten, value);
  const bool breaks = value.find_first_of(std::string("\r\0", 2)) != std::string::npos;
  FUZZ_CHECK(written.ok() != breaks);
  if (!written.ok()) return 0;

  IniProfileFile reread(mapper, "Horatone.ini");
  const auto after = ReadKeys(reread);
  for (const auto& [key, old_value] : before) {
    if (key == "VolSet") continue;
    FUZZ_CHECK(after.at(key) == old_value);
  }
  if (PlainValue(value)) FUZZ_CHECK(reread.GetString(kSection, kWritten, "") == value);

  FUZZ_CHECK(reread.DeleteKey(kSection, kWritten).ok());
  IniProfileFile third(mapper, "Horatone.ini");
  const auto deleted = ReadKeys(third);
  for (const auto& [key, old_value] : before) {
    if (key == "VolSet") continue;
    FUZZ_CHECK(deleted.at(key) == old_value);
  }
  return 0;
}
