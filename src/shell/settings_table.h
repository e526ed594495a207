// The settings record: the keys of "Horatone.ini" in the one order in which they are both
// read and written, each with its kind, its default and the control that holds it; and the
// language texts with their describing labels and the captions they set.
#pragma once

#include <array>
#include <string_view>

namespace horatone {

class Form1;
class TextBox;
class OptionButton;
class CheckBox;
class Captioned;

enum class SettingKind { kText, kOption, kCheck, kPosition };

struct SettingKey {
  std::string_view key;
  SettingKind kind;
  std::string_view default_text;
  // Exactly one of these finds the field in a window, by the key's kind.
  TextBox& (*text)(Form1&) = nullptr;
  OptionButton& (*option)(Form1&) = nullptr;
  CheckBox& (*check)(Form1&) = nullptr;
  float& (*position)(Form1&) = nullptr;
};

inline constexpr int kSettingCount = 66;
extern const std::array<SettingKey, kSettingCount> kSettingKeys;

// The default of a key of the table; empty for a key not in it.
std::string_view SettingDefault(std::string_view key);

struct LanguageEntry {
  int number;                     // TextN
  std::string_view label;         // the describing label's caption
  std::string_view label_name;    // the describing label's control name
  Captioned& (*target)(Form1&);   // the caption it sets
  Captioned& (*second_target)(Form1&) = nullptr;  // a voice's frame as well
};

inline constexpr int kLanguageTextCount = 28;
extern const std::array<LanguageEntry, kLanguageTextCount> kLanguageTexts;

}  // namespace horatone
