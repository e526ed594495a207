// The clock display and the schedule, once a second (Timer3): shows the time, keeps the
// hour, minute and AM/PM texts current, and starts an announcement at the full hour, the
// quarter hours and the half hour that the operator has enabled, unless the node is busy.
#include "announce/time_texts.h"
#include "shell/form1.h"

namespace horatone {

bool Form1::NodeIsBusy() {
  // All three flags are read, in order; a flag that cannot be read counts as busy.
  const std::optional<bool> flag1 = echolink_->BusyFlag1();
  const std::optional<bool> flag2 = echolink_->BusyFlag2();
  const std::optional<bool> flag3 = echolink_->BusyFlag3();
  return flag1.value_or(true) || flag2.value_or(true) || flag3.value_or(true);
}

void Form1::ShowTimeTexts() {
  HH.set_text(HourText(services_.clock.Now(), Option1.value()));
  MM.set_text(MinuteText(services_.clock.Now()));
  AM_PM.set_text(AmPmText(services_.clock.Now()));
}

void Form1::Timer3_Timer() {
  ShowTheTime.set_caption(LongTimeText(services_.clock.Now()));
  const bool busy = NodeIsBusy();
  // The texts follow the clock whether or not the node is busy, so that an announcement
  // started by DTMF during traffic still speaks the current time.
  ShowTimeTexts();
  if (busy) return;
  if (echolink_->BusyFlag3().value_or(true)) return;

  auto last_five = [this] {
    const std::string text = LongTimeText(services_.clock.Now());
    return text.substr(text.size() - 5);
  };
  auto start = [this](const char* slot) {
    Log(std::string("announcement: ") + slot);
    SayAudioTime();
  };
  if (last_five() == "00:00" && OnHour.value() == 1) start("the hour");
  const std::string quarter = last_five();
  if ((quarter == "15:00" || quarter == "45:00") && QuarterHour.value() == 1) start("the quarter hour");
  if (last_five() == "30:00" && HalfHour.value() == 1) start("the half hour");
}

}  // namespace horatone
