// The settings record in and out of "Horatone.ini": start-up reads the keys into the
// controls in table order, SaveData writes them back in the same order. A stored value that
// cannot be converted does not stop start-up: the key takes its default and is reported.
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "shell/form1.h"
#include "shell/settings_table.h"
#include "shell/texts.h"

namespace horatone {
namespace {

// A number as the settings file stores it: decimals and a sign allowed (a check box may read
// "1.0"), unlike the whole numbers of options and addresses (shell/parse_number.h).
std::optional<double> StoredNumber(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Whole numbers as the original's integer conversion makes them: halves go to the even one.
std::optional<long> RoundToInteger(std::string_view text, long low, long high) {
  const std::optional<double> number = StoredNumber(text);
  if (!number) return std::nullopt;
  const double rounded = std::nearbyint(*number);
  if (rounded < low || rounded > high) return std::nullopt;
  return static_cast<long>(rounded);
}

}  // namespace

namespace {

Status NotValid(std::string_view text) {
  return Status::BadInput("\"" + std::string(text) + "\" is not valid");
}

}  // namespace

Result<bool> ParseOptionText(std::string_view text) {
  if (EqualsIgnoringCase(text, "True")) return true;
  if (EqualsIgnoringCase(text, "False")) return false;
  const std::optional<double> number = StoredNumber(text);
  if (!number) return NotValid(text);
  return *number != 0;
}

Result<int> ParseCheckText(std::string_view text) {
  const std::optional<long> value = RoundToInteger(text, 0, 2);
  if (!value) return NotValid(text);
  return static_cast<int>(*value);
}

Result<float> ParsePositionText(std::string_view text) {
  const std::optional<double> number = StoredNumber(text);
  if (!number || std::fabs(*number) > std::numeric_limits<float>::max()) return NotValid(text);
  return static_cast<float>(*number);
}

Result<int> ParseVolumeText(std::string_view text) {
  const std::optional<long> value = RoundToInteger(text, -3000, 0);
  if (!value) return NotValid(text);
  return static_cast<int>(*value);
}

std::string PositionText(float twips) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, twips);
  return std::string(buffer, result.ptr);
}

namespace {

std::string Problem(std::string_view key, const std::string& stored, std::string_view used) {
  return std::string(texts::kSettingsFile) + ": " + std::string(key) + " = \"" + stored +
         "\" is not valid; using \"" + std::string(used) + "\".";
}

// The stored text converted by `parse`, or the key's default when it is not valid (noted).
template <typename Parse>
auto Converted(Parse parse, const SettingKey& setting, const std::string& stored,
               std::vector<std::string>& problems) {
  auto value = parse(stored);
  if (!value) {
    problems.push_back(Problem(setting.key, stored, setting.default_text));
    value = parse(setting.default_text);
  }
  return *value;
}

}  // namespace

std::vector<std::string> Form1::ReadSettings() {
  std::vector<std::string> problems;
  // A file that is there but cannot be read leaves every key at its default; say why.
  if (const Status readable = services_.profile.Check(); !readable) {
    problems.push_back(readable.message + "; using the defaults.");
  }
  const std::string section(texts::kSettingsSection);
  for (const SettingKey& setting : kSettingKeys) {
    const std::string default_text(setting.default_text);
    const std::string stored =
        services_.profile.GetString(section, std::string(setting.key), default_text);
    switch (setting.kind) {
      case SettingKind::kText:
        setting.text(*this).set_text(stored);
        break;
      case SettingKind::kOption:
        setting.option(*this).set_value(Converted(ParseOptionText, setting, stored, problems));
        break;
      case SettingKind::kCheck:
        setting.check(*this).set_value(Converted(ParseCheckText, setting, stored, problems));
        break;
      case SettingKind::kPosition:
        setting.position(*this) = Converted(ParsePositionText, setting, stored, problems);
        break;
    }
  }
  ReadSchedule(problems);
  return problems;
}

void Form1::ReadSchedule(std::vector<std::string>& problems) {
  // A key the file does not have reads as this, which no stored line can hold.
  const std::string absent = "\x01";
  const std::string section(kScheduleSection);
  ScheduleRules rules;
  schedule_in_file_ = false;
  schedule_texts_.assign(kScheduleKeys.size(), "");
  for (std::size_t i = 0; i < kScheduleKeys.size(); ++i) {
    const ScheduleKey& entry = kScheduleKeys[i];
    const std::string default_text(entry.default_text);
    std::string text = services_.profile.GetString(section, std::string(entry.key), absent);
    if (text == absent) {
      text = default_text;
    } else {
      schedule_in_file_ = true;
    }
    if (const Status applied = entry.apply(rules, text); !applied) {
      problems.push_back(Problem(std::string(section) + "." + std::string(entry.key), text,
                                 default_text) + " (" + applied.message + ")");
      ContinuePastFailure(entry.apply(rules, default_text));
      text = default_text;
    }
    schedule_texts_[i] = TrimmedValue(text);
  }
  schedule_ = std::move(rules);
}

std::vector<std::pair<std::string, std::string>> Form1::ScheduleLines() const {
  std::vector<std::pair<std::string, std::string>> lines;
  for (std::size_t i = 0; i < kScheduleKeys.size(); ++i) {
    lines.emplace_back(std::string(kScheduleKeys[i].key),
                       i < schedule_texts_.size() ? schedule_texts_[i]
                                                  : std::string(kScheduleKeys[i].default_text));
  }
  return lines;
}

Status Form1::SetScheduleValue(std::string_view key, const std::string& text) {
  const ScheduleKey* entry = FindScheduleKey(key);
  if (entry == nullptr) {
    return Status::BadInput(std::string(kScheduleSection) + "." + std::string(key) +
                            " is not a schedule key");
  }
  ScheduleRules rules = schedule_;
  if (const Status applied = entry->apply(rules, text); !applied) {
    return Status::BadInput(std::string(kScheduleSection) + "." + std::string(entry->key) +
                            ": " + applied.message);
  }
  schedule_ = std::move(rules);
  if (schedule_texts_.size() != kScheduleKeys.size()) {
    schedule_texts_.clear();
    for (const ScheduleKey& each : kScheduleKeys) schedule_texts_.emplace_back(each.default_text);
  }
  schedule_texts_[entry - kScheduleKeys.data()] = TrimmedValue(text);
  schedule_in_file_ = true;
  return Status::Ok();
}

void Form1::ReloadSettings() {
  Dispatch([&] {
    if (const Status readable = services_.profile.Check(); !readable) {
      Log("settings not reloaded: " + readable.message);
      return;
    }
    const auto all_lines = [this] {
      std::vector<std::pair<std::string, std::string>> lines = SettingsLines();
      for (const auto& [key, value] : ScheduleLines()) {
        lines.emplace_back(std::string(kScheduleSection) + "." + key, value);
      }
      return lines;
    };
    const std::vector<std::pair<std::string, std::string>> before = all_lines();
    std::vector<std::string> problems = ReadSettings();
    ApplyStoredVolume(problems);
    // The voice and the captions follow at once, as at start-up.
    Timer5_Timer();
    Timer7_Timer();
    for (const std::string& problem : problems) Log("settings: " + problem);
    const std::vector<std::pair<std::string, std::string>> after = all_lines();
    int changed = 0;
    for (std::size_t i = 0; i < before.size() && i < after.size(); ++i) {
      if (before[i].second == after[i].second) continue;
      Log("settings: " + after[i].first + " \"" + before[i].second + "\" -> \"" + after[i].second +
          "\"");
      ++changed;
    }
    Log("settings reloaded from " + services_.profile.Describe() + ": " + std::to_string(changed) +
        (changed == 1 ? " key changed" : " keys changed"));
  });
}

void Form1::ApplyStoredVolume(std::vector<std::string>& problems) {
  Result<int> volume = ParseVolumeText(VolSet.text());
  if (!volume) {
    const std::string_view fallback = SettingDefault("VOLSET");
    problems.push_back(Problem("VOLSET", VolSet.text(), fallback));
    VolSet.set_text(std::string(fallback));
    volume = ParseVolumeText(fallback);
  }
  V1.set_value(*volume);
}

std::vector<std::pair<std::string, std::string>> Form1::SettingsLines() {
  std::vector<std::pair<std::string, std::string>> lines;
  for (const SettingKey& setting : kSettingKeys) {
    std::string value;
    switch (setting.kind) {
      case SettingKind::kText: value = setting.text(*this).text(); break;
      case SettingKind::kOption: value = setting.option(*this).value() ? "True" : "False"; break;
      case SettingKind::kCheck: value = std::to_string(setting.check(*this).value()); break;
      case SettingKind::kPosition: value = PositionText(setting.position(*this)); break;
    }
    lines.emplace_back(std::string(setting.key), value);
  }
  return lines;
}

bool Form1::SaveData() {
  // One replacement of the file for the whole record: every key or, on failure, none.
  const Status written =
      services_.profile.WriteStrings(std::string(texts::kSettingsSection), SettingsLines());
  // The schedule's section only where the file has it or the operator set it, so that a
  // file without one stays exactly as it was.
  const Status schedule_written =
      written && schedule_in_file_
          ? services_.profile.WriteStrings(std::string(kScheduleSection), ScheduleLines())
          : Status::Ok();
  if (!written || !schedule_written) {
    ShowMessage({"The settings could not be saved: " +
                     (!written ? written.message : schedule_written.message),
                 std::string(texts::kSaveFailedTitle), MsgIcon::kStop});
    return false;
  }
  return true;
}

}  // namespace horatone
