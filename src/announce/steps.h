// The step codes of an announcement, as stored in LoadStep and NextStep.
#pragma once

namespace horatone {

inline constexpr int kStepLeadIn = 11;
inline constexpr int kStepTimeIs = 1;
inline constexpr int kStepHour = 2;
inline constexpr int kStepHourWord = 22;
inline constexpr int kStepMinute = 3;
inline constexpr int kStepMinuteWord = 33;
inline constexpr int kStepSuffix = 4;
// The clips after the time: the schedule's messages and the identification.
inline constexpr int kStepTail = 5;

}  // namespace horatone
