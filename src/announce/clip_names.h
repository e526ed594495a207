// The clip names of a voice folder, in one table: the composer builds clip paths from them and
// the voice check lists them. Each name takes the extension ".wav" or ".mp3" of the voice.
#pragma once

#include <array>
#include <string_view>

namespace horatone {

// Lead-in, greeting and time-is clips.
inline constexpr std::array<std::string_view, 7> kPhraseClipNames = {
    "Blank", "DingDong", "DingDong2", "GoodMorning", "GoodAfternoon", "GoodEvening", "TheTimeIs"};

// Two-digit numbers: hours ("00" to "23", or "01" to "12") and minutes ("00" to "59").
inline constexpr std::array<std::string_view, 60> kNumberClipNames = {
    "00", "01", "02", "03", "04", "05", "06", "07", "08", "09", "10", "11", "12", "13", "14",
    "15", "16", "17", "18", "19", "20", "21", "22", "23", "24", "25", "26", "27", "28", "29",
    "30", "31", "32", "33", "34", "35", "36", "37", "38", "39", "40", "41", "42", "43", "44",
    "45", "46", "47", "48", "49", "50", "51", "52", "53", "54", "55", "56", "57", "58", "59"};

// Words after the hour and the minutes, and the suffixes.
inline constexpr std::array<std::string_view, 4> kWordClipNames = {"Hour", "Minutes", "AM", "PM"};

inline constexpr std::string_view kBlankClip = kPhraseClipNames[0];
inline constexpr std::string_view kTheTimeIsClip = kPhraseClipNames[6];
inline constexpr std::string_view kAmClip = kWordClipNames[2];
inline constexpr std::string_view kPmClip = kWordClipNames[3];

inline constexpr std::size_t kVoiceClipCount =
    kPhraseClipNames.size() + kNumberClipNames.size() + kWordClipNames.size();

// Every clip of a voice folder, phrases first, then the numbers, then the words.
inline constexpr std::array<std::string_view, kVoiceClipCount> kVoiceClipNames = [] {
  std::array<std::string_view, kVoiceClipCount> all{};
  std::size_t i = 0;
  for (std::string_view name : kPhraseClipNames) all[i++] = name;
  for (std::string_view name : kNumberClipNames) all[i++] = name;
  for (std::string_view name : kWordClipNames) all[i++] = name;
  return all;
}();

}  // namespace horatone
