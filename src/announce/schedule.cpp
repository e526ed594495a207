// The clock display and the schedule, once a second (Timer3): shows the time, keeps the
// hour, minute and AM/PM texts current, and starts an announcement at the full hour, the
// quarter hours and the half hour that the operator has enabled, unless the node is busy.
// A front end may let a slot that falls while busy wait a while for the channel to clear.
// The schedule's own section adds quiet hours, more minutes, messages and a zone of its own.
#include <cstdio>
#include <string>

#include "announce/time_texts.h"
#include "shell/form1.h"

namespace horatone {

bool Form1::NodeIsBusy() {
  // All three flags are read, in order; a flag that cannot be read counts as busy.
  const Result<bool> flag1 = echolink_->BusyFlag1();
  const Result<bool> flag2 = echolink_->BusyFlag2();
  const Result<bool> flag3 = echolink_->BusyFlag3();
  return flag1.value_or(true) || flag2.value_or(true) || flag3.value_or(true);
}

LocalTime Form1::SpokenTime() const {
  if (!schedule_.zone) return services_.clock.Now();
  return schedule_.zone->ToLocal(services_.clock.EpochMs());
}

void Form1::ShowTimeTexts() {
  HH.set_text(HourText(SpokenTime(), Option1.value()));
  MM.set_text(MinuteText(SpokenTime()));
  AM_PM.set_text(AmPmText(SpokenTime()));
}

void Form1::Timer3_Timer() {
  ShowTheTime.set_caption(LongTimeText(SpokenTime()));
  const bool busy = NodeIsBusy();
  // The texts follow the clock whether or not the node is busy, so that an announcement
  // started by DTMF during traffic still speaks the current time.
  ShowTimeTexts();
  if (busy || echolink_->BusyFlag3().value_or(true)) {
    WaitForBusyChannel();
    return;
  }
  if (StartWaitingAnnouncement()) return;
  if (const char* slot = SlotDueNow()) {
    Log(std::string("announcement: ") + slot);
    scheduled_start_ = true;
    SayAudioTime();
    scheduled_start_ = false;
    return;
  }
  // The sound output gets ready a couple of seconds ahead of a slot, so that the first sample
  // leaves on the slot's second.
  const LocalTime now = SpokenTime();
  for (int ahead = 1; ahead <= 2; ++ahead) {
    const LocalTime at = EpochMsToCivil(CivilToEpochMs(now) + ahead * 1000LL);
    if (ScheduledSlotAt(at) != nullptr) services_.media.PrepareForSound();
  }
}

// The enabled slot whose second this is: minutes and seconds of the spoken time against
// "00:00", "15:00"/"45:00", "30:00" and the extra minutes, outside the quiet hours.
std::optional<LocalTime> Form1::NextSlotTime() const {
  LocalTime minute = SpokenTime();
  minute.second = 0;
  minute.millisecond = 0;
  const std::int64_t start = CivilToEpochMs(minute);
  for (int ahead = 1; ahead <= 24 * 60; ++ahead) {
    const LocalTime at = EpochMsToCivil(start + ahead * 60000LL);
    if (ScheduledSlotAt(at) != nullptr) return at;
  }
  return std::nullopt;
}

const char* Form1::SlotDueNow() const { return ScheduledSlotAt(SpokenTime()); }

const char* Form1::ScheduledSlotAt(const LocalTime& time) const {
  if (schedule_.QuietAt(time)) return nullptr;
  if (const char* slot = SlotAt(time.minute, time.second)) return slot;
  if (time.second == 0 && !schedule_.MessagesAt(time, true).empty()) return "a message";
  return nullptr;
}

const char* Form1::SlotAt(int minute, int second) const {
  char text[8];
  std::snprintf(text, sizeof text, "%02d:%02d", minute % 60, second % 60);
  const std::string last_five = text;
  if (last_five == "00:00" && OnHour.value() == 1) return "the hour";
  if ((last_five == "15:00" || last_five == "45:00") && QuarterHour.value() == 1) {
    return "the quarter hour";
  }
  if (last_five == "30:00" && HalfHour.value() == 1) return "the half hour";
  if (second % 60 == 0 && schedule_.minutes[minute % 60]) return "an extra minute";
  return nullptr;
}

void Form1::WaitForBusyChannel() {
  if (busy_wait_seconds <= 0) return;
  const std::int64_t now = services_.timers.NowMs();
  if (waiting_slot_) {
    if (now < waiting_slot_->until_ms) return;
    Log("announcement skipped: " + waiting_slot_->slot + ", the channel stayed busy for " +
        std::to_string(busy_wait_seconds) + " s");
    waiting_slot_.reset();
    return;
  }
  const char* slot = SlotDueNow();
  if (slot == nullptr) return;
  waiting_slot_ = WaitingSlot{slot, now + busy_wait_seconds * 1000LL};
  Log(std::string("announcement waits for the busy channel: ") + slot);
}

// The channel has cleared: a waiting slot speaks now, with the texts of this tick.
bool Form1::StartWaitingAnnouncement() {
  if (!waiting_slot_) return false;
  const std::string slot = waiting_slot_->slot;
  waiting_slot_.reset();
  Log("announcement: " + slot + ", after waiting for the channel");
  scheduled_start_ = true;
  SayAudioTime();
  scheduled_start_ = false;
  return true;
}

}  // namespace horatone
