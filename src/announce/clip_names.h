// The clip names of a voice folder: every voice holds these, as ".wav" or ".mp3" files.
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

inline constexpr std::array<std::string_view, 11> kWordClips = {
    kBlank, kBell1, kBell2, kGoodMorning, kGoodAfternoon, kGoodEvening,
    kTheTimeIs, kHour, kMinutes, kAm, kPm};

// Every clip stem of a voice: the word clips, then "00" to "59".
inline std::vector<std::string> AllClipStems() {
  std::vector<std::string> stems(kWordClips.begin(), kWordClips.end());
  for (int n = 0; n < 60; ++n) stems.push_back((n < 10 ? "0" : "") + std::to_string(n));
  return stems;
}

}  // namespace horatone::clips
