// The schedule's own section: quiet hours across midnight and the daylight-saving changes,
// extra minutes, another zone, the identification and dated messages, in virtual time.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>

#include "announce/time_texts.h"
#include "test_support/announcing.h"

namespace horatone {
namespace {

std::shared_ptr<const TimeZone> Zone(const std::string& name) {
  auto zone = TimeZone::Load(name);
  EXPECT_TRUE(zone.ok()) << zone.message();
  return zone.ok() ? *zone : TimeZone::Utc();
}

std::string DateText(const LocalTime& t) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.year, t.month, t.day);
  return text;
}

// Each start of an announcement: the wall-clock time of the spoken zone and what was heard
// once it had finished.
struct Start {
  LocalTime at;
  std::vector<std::string> heard;
};

std::vector<Start> Starts(Harness& h, std::int64_t run_ms) {
  std::vector<Start> starts;
  std::size_t heard_from = h.media.heard.size();
  const auto close_last = [&] {
    if (!starts.empty()) starts.back().heard = HeardNames(h.media, heard_from);
    heard_from = h.media.heard.size();
  };
  h.form->Timer2.set_observer([&] {
    if (!h.form->Timer2.running() || h.form->LoadStep == 5) return;
    if (h.form->NextStep != h.form->LoadStep) return;  // a restart within the chain
    close_last();
    starts.push_back({h.form->SpokenTime(), {}});
  });
  h.loop.AdvanceBy(run_ms);
  RunToIdle(h);
  close_last();
  h.form->Timer2.set_observer(nullptr);
  return starts;
}

Form1& StartWith(Harness& h, const std::string& settings, const std::string& schedule) {
  h.media.SetClip(std::string(kVoice1) + "Ident.wav", 1.5);
  h.media.SetClip(std::string(kVoice1) + "Xmas.wav", 2.0);
  h.media.SetClip(std::string(kVoice1) + "Net.wav", 2.0);
  h.WriteSettings("[SETTINGS]\n" + settings + "[SCHEDULE]\n" + schedule);
  return StartWithVoice(h);
}

// Quiet from 23:30 to 01:00, the three boxes and minute 59, in a zone with daylight saving:
// the spring day has one hour less of slots, the autumn day its repeated hour twice, and
// nothing is said in the quiet span on any night.
TEST(ScheduleSection, AWeekAcrossEachDaylightSavingChangeKeepsQuietHoursAndExtraMinutes) {
  struct Week {
    LocalTime start;
    std::string change_day;
    int slots_that_day;
  };
  // 112 slots on a 24-hour day: 5 an hour less the 8 between 23:30 and 01:00.
  // Once as the machine's own zone, once as the schedule's zone on a machine kept in UTC.
  for (const bool zone_key : {false, true})
  for (const Week& week : {Week{{2026, 3, 25, 12, 0, 0}, "2026-03-29", 107},
                           Week{{2026, 10, 21, 12, 0, 0}, "2026-10-25", 117}}) {
    SCOPED_TRACE(zone_key ? "ZONE=Europe/Berlin" : "local time in Europe/Berlin");
    const auto berlin = Zone("Europe/Berlin");
    Harness h;
    if (zone_key) {
      h.clock.Set(EpochMsToCivil(berlin->FromLocal(week.start)));
    } else {
      h.clock.SetZone(berlin, week.start);
    }
    StartWith(h, "", std::string("QUIET=23:30-01:00\nMINUTES=59\n") +
                         (zone_key ? "ZONE=Europe/Berlin\n" : ""));
    std::map<std::string, int> per_day;
    int repeated_two = 0;
    for (const Start& start : Starts(h, 7LL * 24 * 3600 * 1000)) {
      const LocalTime& t = start.at;
      ++per_day[DateText(t)];
      EXPECT_EQ(t.second, 0) << LongTimeText(t);
      EXPECT_TRUE(t.minute % 15 == 0 || t.minute == 59) << LongTimeText(t);
      const int minute_of_day = t.hour * 60 + t.minute;
      EXPECT_TRUE(minute_of_day >= 60 && minute_of_day < 23 * 60 + 30)
          << DateText(t) << " " << LongTimeText(t);
      if (DateText(t) == week.change_day && t.hour == 2 && t.minute == 0) ++repeated_two;
      // The minute spoken is the minute of the slot.
      ASSERT_GE(start.heard.size(), 4u);
      EXPECT_NE(std::find(start.heard.begin(), start.heard.end(), MinuteText(t) + ".wav"),
                start.heard.end());
    }
    for (const auto& [day, count] : per_day) {
      if (day == DateText(week.start) || day == "2026-04-01" || day == "2026-10-28") continue;
      EXPECT_EQ(count, day == week.change_day ? week.slots_that_day : 112) << day;
    }
    EXPECT_EQ(repeated_two, week.change_day == "2026-10-25" ? 2 : 0);
    EXPECT_FALSE(h.node.keyed());
  }
}

// The clock's own zone is Berlin; the schedule speaks and keeps another zone's time, its
// extra minute included.
TEST(ScheduleSection, UtcOrANamedZoneIsSpokenShownAndKept) {
  struct Case {
    std::string zone;
    std::vector<std::string> hours;  // the hour clips of the two announcements
  };
  for (const Case& c : {Case{"UTC", {"09.wav", "10.wav"}},
                        Case{"America/New_York", {"04.wav", "05.wav"}},
                        Case{"Asia/Tokyo", {"18.wav", "19.wav"}}}) {
    Harness h;
    h.clock.SetZone(Zone("Europe/Berlin"), {2026, 12, 6, 10, 57, 0});
    StartWith(h, "QUARTERHOUR=0\nHALFHOUR=0\nOPTION2=True\nOPTION1=False\n",
              "ZONE=" + c.zone + "\nMINUTES=59\n");
    const std::vector<Start> starts = Starts(h, 4 * 60 * 1000);
    ASSERT_EQ(starts.size(), 2u) << c.zone;
    EXPECT_EQ(starts[0].at.minute, 59) << c.zone;
    for (std::size_t i = 0; i < 2; ++i) {
      const auto& heard = starts[i].heard;
      EXPECT_NE(std::find(heard.begin(), heard.end(), c.hours[i]), heard.end())
          << c.zone << " " << i;
    }
    EXPECT_EQ(h.form->ShowTheTime.caption(), LongTimeText(h.form->SpokenTime()));
  }
}

TEST(ScheduleSection, TheIdentificationGoesLastAtMostEveryNMinutesAndNeverIntoABusyChannel) {
  Harness h({2026, 12, 6, 9, 59, 30});
  Form1& f = StartWith(h, "", "IDCLIP=Ident\nIDEVERY=10\nMINUTES=5,12\n");
  std::vector<std::string> identified;
  for (const Start& start : Starts(h, 50 * 60 * 1000)) {
    const auto found = std::find(start.heard.begin(), start.heard.end(), "Ident.wav");
    if (found == start.heard.end()) continue;
    EXPECT_EQ(found + 1, start.heard.end());  // after the suffix, the last clip
    identified.push_back(LongTimeText(start.at));
  }
  EXPECT_EQ(identified, (std::vector<std::string>{"10:00:00", "10:12:00", "10:30:00", "10:45:00"}));

  // The channel turns busy while the suffix plays: the time is finished, the identification
  // held back, the transmitter released; the next announcement identifies.
  h.loop.AdvanceUntil([&] { return f.ShowTheTime.caption() == "11:00:00"; }, 3600000);
  ASSERT_TRUE(h.loop.AdvanceUntil([&] { return !f.Timer2.running() || f.NextStep == 4; }, 60000));
  ASSERT_TRUE(h.loop.AdvanceUntil(
      [&] {
        return !h.media.heard.empty() && h.media.heard.back().ends_with("AM.wav");
      },
      60000));
  h.node.busy[1] = true;
  const std::size_t from = h.media.heard.size();
  ASSERT_TRUE(RunToIdle(h));
  EXPECT_TRUE(HeardNames(h.media, from).empty());
  h.node.busy[1] = false;
  const std::vector<Start> next = Starts(h, 13 * 60 * 1000);  // 11:05 and 11:12
  ASSERT_EQ(next.size(), 2u);
  EXPECT_EQ(next[0].heard.back(), "Ident.wav");
  EXPECT_EQ(next[1].heard.back(), "AM.wav");

  // With 0 every announcement identifies, the button's too.
  ASSERT_TRUE(f.SetScheduleValue("IDEVERY", "0").ok());
  f.Command29.Click();
  const std::size_t button_from = h.media.heard.size();
  ASSERT_TRUE(RunToIdle(h));
  EXPECT_EQ(HeardNames(h.media, button_from).back(), "Ident.wav");
}

// A clip the voice lacks ends the announcement after the time: no change of voice, no
// message box waiting for an operator, the transmitter released.
TEST(ScheduleSection, AMissingIdentificationClipEndsTheAnnouncementAfterTheTime) {
  Harness h({2026, 12, 6, 9, 59, 50});
  Form1& f = StartWith(h, "", "IDCLIP=Nobody\n");
  const std::vector<Start> starts = Starts(h, 30 * 1000);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].heard.back(), "AM.wav");
  EXPECT_TRUE(h.dialogs.shown.empty());
  EXPECT_EQ(f.FileLocation.text(), kVoice1);
  EXPECT_TRUE(f.Option3.value());
  EXPECT_FALSE(h.node.keyed());
  EXPECT_EQ(f.Announcing, 0);
}

TEST(ScheduleSection, AMessageIsSpokenOnItsDatesOnlyAndItsOwnTimeIsASlot) {
  Harness h({2026, 12, 24, 16, 59, 30});
  StartWith(h, "QUARTERHOUR=0\nHALFHOUR=0\n",
            "MESSAGE1=Xmas;12-25;18:10\nMESSAGE3=Net;2026-12-24;*\nIDCLIP=Ident\nIDEVERY=600\n");
  std::vector<std::string> with_message;
  for (const Start& start : Starts(h, 26LL * 3600 * 1000)) {
    const auto& heard = start.heard;
    for (const char* clip : {"Xmas.wav", "Net.wav"}) {
      if (std::find(heard.begin(), heard.end(), clip) != heard.end()) {
        with_message.push_back(DateText(start.at) + " " + LongTimeText(start.at) + " " + clip);
      }
    }
  }
  // Net with every announcement of the 24th (17:00 to 23:00), Xmas at 18:10 of the 25th only,
  // which no box would have made a slot.
  ASSERT_EQ(with_message.size(), 8u);
  EXPECT_EQ(with_message[0], "2026-12-24 17:00:00 Net.wav");
  EXPECT_EQ(with_message[6], "2026-12-24 23:00:00 Net.wav");
  EXPECT_EQ(with_message[7], "2026-12-25 18:10:00 Xmas.wav");
}

TEST(ScheduleSection, QuietHoursLeaveTheCodeAndButtonsUnlessTheyAreToKeepQuietToo) {
  for (const bool all : {false, true}) {
    Harness h({2026, 12, 6, 23, 10, 0});
    StartWith(h, "", std::string("QUIET=23:00-06:30\nQUIETALL=") + (all ? "1" : "0") + "\n");
    EXPECT_TRUE(Starts(h, 30 * 60 * 1000).empty());
    h.node.SendDtmf("123");
    RunToIdle(h);
    h.form->Command29.Click();
    RunToIdle(h);
    EXPECT_EQ(h.media.heard.empty(), all);
    EXPECT_FALSE(h.node.keyed());
  }
}

TEST(ScheduleSection, BadValuesAreNamedWithTheirKeyAndTakeTheirDefaults) {
  Harness h({2026, 12, 6, 13, 59, 50});
  Form1& f = StartWith(h, "QUARTERHOUR=0\nHALFHOUR=0\n",
                       "QUIET=25:00-07:00\nMINUTES=5,60\nZONE=../../etc/passwd\nIDCLIP=..\\x\n"
                       "IDEVERY=ten\nMESSAGE2=Xmas;12-32;18:00\nQUIETALL=yes\n");
  ASSERT_EQ(h.dialogs.shown.size(), 1u);
  const std::string& text = h.dialogs.shown[0].text;
  for (const char* key : {"SCHEDULE.QUIET =", "SCHEDULE.MINUTES =", "SCHEDULE.ZONE =",
                          "SCHEDULE.IDCLIP =", "SCHEDULE.IDEVERY =", "SCHEDULE.MESSAGE2 =",
                          "SCHEDULE.QUIETALL ="}) {
    EXPECT_NE(text.find(key), std::string::npos) << key << " in " << text;
  }
  // The defaults: the box slots alone, local time, no identification.
  const std::vector<Start> starts = Starts(h, 61 * 60 * 1000);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(LongTimeText(starts[0].at), "14:00:00");
  EXPECT_EQ(starts[0].heard.back(), "PM.wav");
  // The window's setter refuses the same values, naming the key, and changes nothing.
  const Status refused = f.SetScheduleValue("quiet", "7:00-8:00");
  EXPECT_FALSE(refused.ok());
  EXPECT_NE(refused.message.find("SCHEDULE.QUIET"), std::string::npos);
  EXPECT_FALSE(f.schedule().quiet);
}

// The section goes into the file beside [SETTINGS], which stays as it was, and reads back by
// the profile rules (any letter case, blanks and quotes); a file without it gets none.
TEST(ScheduleSection, TheSectionIsSavedBesideTheSettingsAndReadBackByTheProfileRules) {
  Harness plain;
  StartWithVoice(plain, "ONHOUR=1\n");
  ASSERT_TRUE(plain.form->SaveData());
  EXPECT_EQ(plain.ReadSettingsFile().find("SCHEDULE"), std::string::npos);

  Harness h;
  h.WriteSettings("[Settings]\nONHOUR=0\n[schedule]\nquiet = \"22:00-06:00\" \nzone=UTC\n");
  Form1& f = StartWithVoice(h);
  EXPECT_TRUE(h.dialogs.shown.empty());
  ASSERT_TRUE(f.schedule().quiet);
  EXPECT_EQ(f.schedule().quiet->first, 22 * 60);
  ASSERT_TRUE(f.SetScheduleValue("MINUTES", "59, 29").ok());
  ASSERT_TRUE(f.SetScheduleValue("IDCLIP", "Ident").ok());
  ASSERT_TRUE(f.SaveData());
  IniProfileFile reader(h.mapper, "HORATONE.INI");
  EXPECT_EQ(reader.GetString("SCHEDULE", "Quiet", "x"), "22:00-06:00");
  EXPECT_EQ(reader.GetString("Schedule", "MINUTES", "x"), "59, 29");
  EXPECT_EQ(reader.GetString("SCHEDULE", "IDCLIP", "x"), "Ident");
  EXPECT_EQ(reader.GetString("SETTINGS", "ONHOUR", "x"), "0");
  EXPECT_EQ(reader.GetString("SETTINGS", "QUIET", "x"), "x");
  // Read again, as a reload does, the rules come back the same.
  h.WriteSettings(h.ReadSettingsFile() + "");
  f.ReloadSettings();
  EXPECT_TRUE(f.schedule().minutes[59] && f.schedule().minutes[29] && !f.schedule().minutes[0]);
  EXPECT_EQ(f.schedule().id_clip, "Ident");
  ASSERT_TRUE(f.schedule().zone);
  EXPECT_EQ(f.schedule().zone->name(), "UTC");
}

TEST(TimeZoneDatabase, OffsetsChangeAtTheTransitionsAndNamesOutsideTheDatabaseAreRefused) {
  const auto berlin = Zone("Europe/Berlin");
  const std::int64_t change = CivilToEpochMs({2026, 3, 29, 1, 0, 0}) / 1000;  // 01:00 UTC
  EXPECT_EQ(berlin->OffsetAt(change - 1), 3600);
  EXPECT_EQ(berlin->OffsetAt(change), 7200);
  EXPECT_EQ(LongTimeText(berlin->ToLocal(change * 1000)), "03:00:00");
  const LocalTime summer{2026, 7, 1, 12, 0, 0};
  EXPECT_EQ(LongTimeText(berlin->ToLocal(berlin->FromLocal(summer))), "12:00:00");
  for (const char* name : {"../etc/passwd", "/etc/localtime", "Europe/Atlantis", ""}) {
    EXPECT_FALSE(TimeZone::Load(name).ok()) << name;
  }
}

}  // namespace
}  // namespace horatone
