// The clip names of a voice folder, in one table: the composer builds clip paths from them and
// the voice check lists them. Each name takes the extension ".wav" or ".mp3" of the voice.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace horatone::clips {

inline constexpr std::string_view kBlank = "Blank";
inline constexpr std::string_view kBell1 = "DingDong";
inline constexpr std::string_view kBell2 = "DingDong2";
inline constexpr std::string_view kGoodMorning = "GoodMorning";
inline constexpr std::string_view kGoodAfternoon = "GoodAfternoon";
inline constexpr std::string_view kGoodEvening = "GoodEvening";
inline constexpr std::string_view kTheTimeIs = "TheTimeIs";
inline constexpr std::string_view kHour = "Hour";
inline constexpr std::string_view kMinutes = "Minutes";
inline constexpr std::string_view kAm = "AM";
inline constexpr std::string_view kPm = "PM";

// Two-digit numbers: hours ("00" to "23", or "01" to "12") and minutes ("00" to "59").
inline constexpr std::array<std::string_view, 60> kNumbers = {
    "00", "01", "02", "03", "04", "05", "06", "07", "08", "09", "10", "11", "12", "13", "14",
    "15", "16", "17", "18", "19", "20", "21", "22", "23", "24", "25", "26", "27", "28", "29",
    "30", "31", "32", "33", "34", "35", "36", "37", "38", "39", "40", "41", "42", "43", "44",
    "45", "46", "47", "48", "49", "50", "51", "52", "53", "54", "55", "56", "57", "58", "59"};

inline constexpr std::array<std::string_view, 11> kWords = {
    kBlank, kBell1, kBell2, kGoodMorning, kGoodAfternoon, kGoodEvening,
    kTheTimeIs, kHour, kMinutes, kAm, kPm};

// Every clip of a voice folder: the words, then the numbers.
inline constexpr std::array<std::string_view, kWords.size() + kNumbers.size()> kAll = [] {
  std::array<std::string_view, kWords.size() + kNumbers.size()> all{};
  std::size_t i = 0;
  for (std::string_view name : kWords) all[i++] = name;
  for (std::string_view name : kNumbers) all[i++] = name;
  return all;
}();

inline std::vector<std::string> AllClipStems() { return {kAll.begin(), kAll.end()}; }

}  // namespace horatone::clips
