// Form1, the main window as a toolkit-free model: every control of the three tabs and the
// controls beyond the right edge, the window-level announcement values, the seven timers,
// and the window's operations and handlers. It receives its services at construction and
// owns the node object and the one media graph. Everything runs on the loop thread; each
// handler runs to its end before the next.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio/media_service.h"
#include "echolink/echolink_object.h"
#include "shell/controls.h"
#include "shell/seconds_text.h"
#include "shell/profile_store.h"
#include "shell/schedule_rules.h"
#include "shell/services.h"
#include "shell/texts.h"

namespace horatone {

class Form14;

// Conversions of stored texts by kind; a failure when the text is not valid for the kind.
Result<bool> ParseOptionText(std::string_view text);
Result<int> ParseCheckText(std::string_view text);
Result<float> ParsePositionText(std::string_view text);
Result<int> ParseVolumeText(std::string_view text);
std::string PositionText(float twips);

struct Form1Services {
  TimerService& timers;
  Clock& clock;
  MediaService& media;
  NodeFactory& nodes;
  ProfileStore& profile;
  Dialogs& dialogs;
  ShellOpener& shell;
  ProgramEnd& end;
};

// One voice slot of the "Audio Files Location" tab.
struct VoiceSlot {
  OptionButton* select;
  Frame* frame;
  TextBox* folder;
  OptionButton* wav;
  OptionButton* mp3;
  CommandButton* default_button;
  const char* default_folder;
};

class Form1 : public EchoLinkEvents {
 public:
  // Window geometry, twips.
  static constexpr int kClientWidth = 7260;
  static constexpr int kClientHeight = 5205;

  explicit Form1(const Form1Services& services);
  ~Form1() override;
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  // --- Life of the window ---------------------------------------------------------------
  // The load handler: the start-up sequence. Returns false when start-up could not finish
  // (no node object); the reason has been shown and the program ended.
  bool Load();
  // The close-request handler: asks the quit question. True when the window may close.
  bool QueryUnload();
  // The unload handler: releases the loaded clip.
  void Unload();
  bool ended() const { return ended_; }
  // The front ends' own events. Each is delivered through Dispatch, as every outside event
  // is, so that it is ignored once the program has ended and its media changes go out at once.
  // Ends the announcement under way, if any, and releases the transmitter: for the front
  // ends when the node connection or the sound device is lost.
  void AbandonAnnouncement(const std::string& reason);
  // Releases the transmitter and ends the program at once, without saving (a signal).
  void Terminate(const std::string& reason);
  // Reads the settings file again into the controls, as start-up does, and logs each key
  // whose value changed. A file that cannot be read changes nothing (the reason is logged).
  void ReloadSettings();
  // One line for each event worth knowing (announcements, clips, failures); for logs.
  std::function<void(const std::string&)> log;
  // Seconds a scheduled announcement that falls while the channel is busy waits for it to
  // clear, then speaks the time of that moment; 0 skips it. Set by the front end (a radio's
  // settings); the window's own settings do not hold it.
  int busy_wait_seconds = 0;

  // --- The schedule's own section of the settings file -------------------------------------
  // The rules as read or last set; the defaults (the three boxes alone) without the section.
  const ScheduleRules& schedule() const { return schedule_; }
  // Whether the settings file has the section (or a key of it was set since).
  bool schedule_in_file() const { return schedule_in_file_; }
  // The texts of the schedule keys, in table order, as SaveData writes them.
  std::vector<std::pair<std::string, std::string>> ScheduleLines() const;
  // Checks one key's text and applies it at once; a refusal names the key and the rule, and
  // changes nothing. The section is written on the next Save.
  Status SetScheduleValue(std::string_view key, const std::string& text);
  // The time the clock shows, speaks and keeps: local time, or the schedule's zone.
  LocalTime SpokenTime() const;
  // The next minute within a day at whose second 0 the schedule would speak (quiet hours,
  // extra minutes and message times included), as spoken time; none within a day.
  std::optional<LocalTime> NextSlotTime() const;

  // --- Window operations ------------------------------------------------------------------
  // Writes every key of the table; false when a key could not be written (the operator has been told).
  bool SaveData();
  // The key and value texts that SaveData writes, in table order.
  std::vector<std::pair<std::string, std::string>> SettingsLines();
  void CleanUp();
  void LoadFile();
  void SayAudioTime();
  void TXFile();

  // --- Handlers -------------------------------------------------------------------------
  void Timer1_Timer();
  void Timer2_Timer();
  // The one slot rule: the enabled slot, if any, at this minute and second of the hour ("the
  // hour", "the quarter hour", "the half hour"); the schedule and the page both ask it.
  const char* SlotAt(int minute, int second) const;
  void Timer3_Timer();
  void Timer5_Timer();
  void Timer6_Timer();
  // The caption follows the node's information text; nothing when it cannot be read.
  void FollowInfoText();
  void Timer7_Timer();
  void Beacon8_Timer();
  void Command1_Click();
  void Command2_Click();
  void Command5_Click();
  void SaveAndExit_Click();
  void Command29_Click();
  void V1_Change();
  void V2_Change();
  void H2_Change();
  void H1_Scroll();
  // The node object's events.
  void DTMFString(const std::string& digits) override {
    Dispatch([&] { EchoLink_DTMFString(digits); });
  }
  void Closing() override {
    Dispatch([&] { EchoLink_Closing(); });
  }
  void ChatTextReceived(const std::string& text) override {
    Dispatch([&] { EchoLink_ChatTextReceived(text); });
  }
  void EchoLink_DTMFString(const std::string& digits);
  void EchoLink_Closing();
  void EchoLink_ChatTextReceived(const std::string& sText);
  // Whether a code the node received is the one that asks this clock for the time.
  bool IsClockCode(const std::string& digits) const { return digits == DTMFTime.text(); }
  // The end-of-clip test that the composer, the sequencer, the unkey check and the page's
  // status share: the position text equals the duration text of the loaded clip, exactly.
  bool ClipHasEnded() const { return Text2.text() == Text3.text(); }

  // Runs `handler` as the loop delivers an event: not after the program has ended, and with
  // the media changes it made committed together at its end.
  template <typename F>
  void Dispatch(F&& handler) {
    if (ended_) return;
    ++dispatch_depth_;
    handler();
    if (--dispatch_depth_ == 0 && !ended_) AfterHandler();
  }

  // --- Window state ---------------------------------------------------------------------
  std::string caption;
  float left = 0, top = 0;  // twips from the screen's top left corner
  EchoLinkObject* echolink() { return echolink_.get(); }
  Form14* about_window() { return form14_.get(); }
  // Told once, when the About window has been made and before it is first shown (the view
  // follows it from then on).
  std::function<void(Form14&)> on_about_window_made;
  // Told when the caption has changed: the node's information text can change while the clock
  // runs (a node that learns its own name after it has connected).
  std::function<void()> on_caption_changed;

  // --- Announcement state ---------------------------------------------------------------
  std::optional<int> LoadStep, NextStep, Announcing;
  std::string ClipPath;
  std::shared_ptr<MediaGraph> ClipGraph, ClipAudio, ClipPosition;
  // When the playing clip of an announcement is due to end at the latest (loop ms).
  std::optional<std::int64_t> clip_deadline_ms;

  // --- "Setup" tab ----------------------------------------------------------------------
  Label Label7{"Label7", ""};
  Label ShowTheTime{"ShowTheTime", std::string(texts::kZeroTime), 0xFF0000};
  Label PTT2{"PTT2", std::string(texts::kPttOff), kColourGreen};
  CommandButton Command29{"Command29", ""};
  Frame Frame1{"Frame1", ""};
  CheckBox OnHour{"OnHour", "", 1}, QuarterHour{"QuarterHour", "", 1}, HalfHour{"HalfHour", "", 1};
  OptionGroup hours_group;
  OptionButton Option1{"Option1", "", hours_group}, Option2{"Option2", "", hours_group};
  Frame Frame18{"Frame18", ""};
  OptionGroup voices_group;
  OptionButton Option3{"Option3", "", voices_group}, Option4{"Option4", "", voices_group},
      Option7{"Option7", "", voices_group}, Option8{"Option8", "", voices_group},
      Option10{"Option10", "", voices_group};
  Frame Frame16{"Frame16", ""};
  CheckBox AMPM{"AMPM", "", 1}, Check1{"Check1", "", 1}, Check2{"Check2", "", 1};
  OptionGroup lead_in_group;
  OptionButton Option5{"Option5", "1", lead_in_group}, Option6{"Option6", "2", lead_in_group},
      Option9{"Option9", "", lead_in_group};
  Frame Frame11{"Frame11", ""};
  ScrollBar V1{"V1", -3000, 0, 0};
  TextBox VolSet{"VolSet", "Text4"};
  Frame Frame13{"Frame13", ""};
  OptionGroup format_group;
  OptionButton OptionWAV{"OptionWAV", "wav", format_group}, OptionMP3{"OptionMP3", "mp3", format_group};
  Frame Frame12{"Frame12", ""};
  Label Label6{"Label6", ""};
  TextBox DTMFTime{"DTMFTime", std::string(texts::kDtmfDesignText)};
  Frame Frame5{"Frame5", ""};
  TextBox FileLocation{"FileLocation", ""};

  // --- Buttons below the tabs -----------------------------------------------------------
  CommandButton Command2{"Command2", ""}, Command5{"Command5", ""}, SaveAndExit{"SaveAndExit", ""};

  // --- "Audio Files Location" tab -------------------------------------------------------
  Frame Frame14{"Frame14", ""};
  Frame Frame6{"Frame6", ""}, Frame7{"Frame7", ""}, Frame8{"Frame8", ""}, Frame9{"Frame9", ""},
      Frame10{"Frame10", ""};
  TextBox Text4{"Text4", ""}, Text5{"Text5", ""}, Text6{"Text6", ""}, Text7{"Text7", ""},
      Text8{"Text8", ""};
  OptionGroup voice1_format, voice2_format, voice3_format, voice4_format, voice5_format;
  OptionButton Option11{"Option11", "wav", voice1_format}, Option12{"Option12", "mp3", voice1_format};
  OptionButton Option14{"Option14", "wav", voice2_format}, Option13{"Option13", "mp3", voice2_format};
  OptionButton Option16{"Option16", "wav", voice3_format}, Option15{"Option15", "mp3", voice3_format};
  OptionButton Option17{"Option17", "wav", voice4_format}, Option18{"Option18", "mp3", voice4_format};
  OptionButton Option20{"Option20", "wav", voice5_format}, Option19{"Option19", "mp3", voice5_format};
  CommandButton Command3{"Command3", "Default"}, Command4{"Command4", "Default"},
      Command6{"Command6", "Default"}, Command7{"Command7", "Default"},
      Command8{"Command8", "Default"};

  // --- "Language" tab: Text9 to Text36 ---------------------------------------------------
  static constexpr int kFirstLanguageText = 9;
  static constexpr int kLastLanguageText = 36;
  TextBox& LanguageText(int number) { return *language_texts_[number - kFirstLanguageText]; }
  Label& LanguageLabel(int number) { return *language_labels_[number - kFirstLanguageText]; }
  Frame Frame15{"Frame15", "Your Language"};
  Label Label42{"Label42", "Change the program text to your language by altering the text input fields"};

  // --- Beyond the right edge ------------------------------------------------------------
  ScrollBar H1{"H1", 0, 0, 0};
  Frame Frame4{"Frame4", "Progress"};
  TextBox Text1{"Text1", std::string(texts::kZeroTime)}, Text2{"Text2", std::string(texts::kZeroTime)},
      Text3{"Text3", std::string(texts::kZeroTime)};
  CommandButton Command1{"Command1", "Play"};
  TextBox HH{"HH", "HH"}, MM{"MM", "MM"}, AM_PM{"AM_PM", "AM/PM"};
  Label PTT{"PTT", std::string(texts::kPttOff), kColourGreen};
  CommandButton Command9{"Command9", "Defalt Voice 1"};
  Frame Frame2{"Frame2", "Speed"};
  ScrollBar V2{"V2", 200, 10, 100};
  TextBox SpeedSet{"SpeedSet", "Text5"};
  Frame Frame3{"Frame3", "Balance"};
  ScrollBar H2{"H2", -5000, 5000, 0};

  // --- Timers ---------------------------------------------------------------------------
  Timer Timer1{"Timer1", 10, true};
  Timer Timer2{"Timer2", 1, false};
  Timer Timer3{"Timer3", 1000, true};
  Timer Timer5{"Timer5", 100, true};
  Timer Timer6{"Timer6", 100, true};
  Timer Timer7{"Timer7", 500, true};
  Timer Beacon8{"Beacon8", 1000, true};

  const std::array<VoiceSlot, 5>& voice_slots() const { return voice_slots_; }
  std::vector<Timer*> timers() {
    return {&Timer1, &Timer2, &Timer3, &Timer5, &Timer6, &Timer7, &Beacon8};
  }
  Form1Services& services() { return services_; }

 private:
  void BindTimers();
  // The end of every outermost handler: the progress refresh wakes when a clip may move, and
  // the media changes the handler made go out together.
  void AfterHandler();
  // Nothing for the progress refresh to change: no clip, or one at its end with no deadline.
  bool ProgressIsIdle() const;
  int MsToNextSecond() const;
  // Reads every key of the table into its control; returns one line for each value that was not valid.
  std::vector<std::string> ReadSettings();
  void ApplyStoredVolume(std::vector<std::string>& problems);
  void EndProgram();
  // The PTT label to green "PTT OFF" and Transmit False.
  void ReleaseTransmitter();
  // A transmit indicator: red "PTT ON" or green "PTT OFF", colour first, then caption.
  static void ShowPtt(Label& indicator, bool on);
  // A message box; handlers may run while it is open, and what they play is heard.
  MsgAnswer ShowMessage(const MessageBoxRequest& request);

  // The composer's parts.
  int ReadyStep() const;
  std::string ClipExtension() const;
  std::optional<std::string_view> LeadInClip() const;
  bool ComposeStep();
  bool LoadClip(std::optional<std::string_view> stem, bool key, std::optional<int> successor);
  bool LoadSuffix();
  bool Fail(const std::string& reason);
  void RecoverFromLoadFailure();
  // Ends the announcement under way: sequencer off, ready state, transmitter released.
  void EndAnnouncement();
  void Log(const std::string& line);

  // The sequencer's parts.
  void StartAnnouncement(std::optional<int> first_step);
  void ApplyVolumeAndRate();
  void RunFromStart();
  void RefreshProgress();
  void ArmClipDeadline();
  void CheckForStalledClip();
  bool NodeIsBusy();
  const char* SlotDueNow() const;
  // False, with a log line, when there is no sound device to be heard through.
  bool SoundCanBeHeard();
  // The busy-channel wait of a scheduled announcement; see busy_wait_seconds.
  void WaitForBusyChannel();
  bool StartWaitingAnnouncement();
  // The hour, minute and AM/PM texts from the clock.
  void ShowTimeTexts();

  Form1Services services_;
  bool ended_ = false;
  // Why the last LoadFile failed; ok when it loaded its clip.
  Status load_status_;
  // The clip last started, logged once the handler ends with it still the one loaded: a step
  // may start a clip that a later step of the same handler replaces before it is heard.
  std::weak_ptr<MediaGraph> started_graph_;
  std::string started_path_;
  // A clip started by "Play" outside an announcement is playing.
  bool lone_play_ = false;
  // The progress refresh runs every 10 ms; a value that has not changed keeps its text.
  struct ProgressTexts {
    double value[2] = {-1, -1};
    std::string text[2];
    const std::string& Text(int which, double seconds) {
      if (seconds != value[which] || text[which].empty()) {
        value[which] = seconds;
        text[which] = SecondsText(seconds);
      }
      return text[which];
    }
  } progress_texts_;
  int dispatch_depth_ = 0;
  std::unique_ptr<EchoLinkObject> echolink_;
  std::unique_ptr<Form14> form14_;
  std::vector<std::unique_ptr<TextBox>> language_texts_;
  std::vector<std::unique_ptr<Label>> language_labels_;
  std::array<VoiceSlot, 5> voice_slots_;
  std::vector<TimerService::TimerId> timer_ids_;
  TimerService::TimerId timer3_id_ = -1;
  // The 10 ms progress refresh sleeps while it would change nothing (an idle clock wakes
  // far less often); Timer1 itself stays enabled.
  TimerService::TimerId timer1_id_ = -1;
  bool progress_asleep_ = false;
  // A scheduled announcement waiting for a busy channel: its slot and when it gives up.
  struct WaitingSlot {
    std::string slot;
    std::int64_t until_ms;
  };
  std::optional<WaitingSlot> waiting_slot_;

  // The schedule's section: the rules, their texts, and whether the file has the section
  // (or the operator set a key), which is when Save writes it.
  void ReadSchedule(std::vector<std::string>& problems);
  ScheduleRules schedule_;
  std::vector<std::string> schedule_texts_;
  bool schedule_in_file_ = false;
  // The clips spoken after the time (messages, then the identification), planned when the
  // announcement starts; the next one to load.
  struct TailClip {
    std::string stem;
    bool identification = false;
  };
  void PlanTail(bool scheduled);
  void ContinueIntoTail();
  bool LoadTailClip();
  std::vector<TailClip> tail_;
  std::size_t tail_next_ = 0;
  bool scheduled_start_ = false;
  // When the last identification went out (loop ms).
  std::optional<std::int64_t> last_identification_ms_;
  // The slot rule with the schedule's own rules: quiet hours, extra minutes, message times.
  const char* ScheduledSlotAt(const LocalTime& time) const;
};

}  // namespace horatone
