// Form1: construction of the controls, the timer binding, start-up, the quit question,
// Save & Exit and the other ways out. The settings record lives in settings.cpp; the
// announcement, playback and node handlers live in their own folders.
#include "shell/form1.h"

#include "about/form14.h"
#include "shell/settings_table.h"
#include "shell/texts.h"
#include "shell/version.h"

namespace horatone {

Form1::Form1(const Form1Services& services) : services_(services) {
  for (const LanguageEntry& entry : kLanguageTexts) {
    language_texts_.push_back(std::make_unique<TextBox>("Text" + std::to_string(entry.number), ""));
    language_labels_.push_back(
        std::make_unique<Label>(std::string(entry.label_name), std::string(entry.label)));
  }
  voice_slots_ = {{
      {&Option3, &Frame6, &Text4, &Option11, &Option12, &Command3, texts::kVoice1Folder.data()},
      {&Option4, &Frame7, &Text5, &Option14, &Option13, &Command4, texts::kVoice2Folder.data()},
      {&Option7, &Frame8, &Text6, &Option16, &Option15, &Command6, texts::kVoice3Folder.data()},
      {&Option8, &Frame9, &Text7, &Option17, &Option18, &Command7, texts::kVoice4Folder.data()},
      {&Option10, &Frame10, &Text8, &Option20, &Option19, &Command8, texts::kVoice5Folder.data()},
  }};

  auto bind_click = [this](CommandButton& button, void (Form1::*handler)()) {
    button.on_click = [this, handler] { Dispatch([this, handler] { (this->*handler)(); }); };
  };
  bind_click(Command1, &Form1::Command1_Click);
  bind_click(Command2, &Form1::Command2_Click);
  bind_click(Command5, &Form1::Command5_Click);
  bind_click(SaveAndExit, &Form1::SaveAndExit_Click);
  bind_click(Command29, &Form1::Command29_Click);
  for (VoiceSlot& slot : voice_slots_) {
    slot.default_button->on_click = [this, &slot] {
      Dispatch([&slot] { slot.folder->set_text(slot.default_folder); });
    };
  }
  Command9.on_click = [this] {
    Dispatch([this] {
      Text4.set_text(std::string(texts::kVoice1Folder));
      Option11.set_value(true);
    });
  };
  V1.on_change = [this] { Dispatch([this] { V1_Change(); }); };
  V2.on_change = [this] { Dispatch([this] { V2_Change(); }); };
  H2.on_change = [this] { Dispatch([this] { H2_Change(); }); };
  H1.on_scroll = [this] { Dispatch([this] { H1_Scroll(); }); };

  Timer1.on_tick = [this] { Timer1_Timer(); };
  Timer2.on_tick = [this] { Timer2_Timer(); };
  Timer3.on_tick = [this] { Timer3_Timer(); };
  Timer5.on_tick = [this] { Timer5_Timer(); };
  Timer6.on_tick = [this] {
    Timer6_Timer();
    FollowInfoText();
  };
  Timer7.on_tick = [this] { Timer7_Timer(); };
  Beacon8.on_tick = [this] { Beacon8_Timer(); };
  BindTimers();
}

Form1::~Form1() {
  for (TimerService::TimerId id : timer_ids_) services_.timers.StopTimer(id);
  if (echolink_) echolink_->SetEvents(nullptr);
}

int Form1::MsToNextSecond() const {
  // Aim a few milliseconds past the boundary, so that the tick reads the new second.
  constexpr int kPastBoundaryMs = 5;
  return 1000 - services_.clock.Now().millisecond + kPastBoundaryMs;
}

void Form1::BindTimers() {
  for (Timer* timer : timers()) {
    const bool aligned = timer == &Timer3;
    const bool progress = timer == &Timer1;
    const TimerService::TimerId id = services_.timers.CreateTimer([this, timer, aligned, progress] {
      Dispatch([timer] { timer->Fire(); });
      if (progress && !ended_ && ProgressIsIdle()) {
        services_.timers.StopTimer(timer1_id_);
        progress_asleep_ = true;
      }
      // The clock display and the schedule tick once in every second of the clock, early in
      // it, whatever the loop's drift: a slot second is neither skipped nor seen twice.
      if (aligned && !ended_ && timer->running()) {
        services_.timers.StartTimer(timer3_id_, timer->interval_ms(), MsToNextSecond());
      }
    });
    timer_ids_.push_back(id);
    if (aligned) timer3_id_ = id;
    if (progress) timer1_id_ = id;
    timer->on_running_changed = [this, timer, id, aligned] {
      if (timer->running()) {
        services_.timers.StartTimer(id, timer->interval_ms(), aligned ? MsToNextSecond() : -1);
      } else {
        services_.timers.StopTimer(id);
      }
    };
    if (timer->running()) {
      services_.timers.StartTimer(id, timer->interval_ms(), aligned ? MsToNextSecond() : -1);
    }
  }
}

void Form1::FollowInfoText() {
  if (!echolink_) return;
  const Result<std::string> info = echolink_->InfoText();
  if (!info) return;  // no answer this time; the caption keeps what it says
  std::string title = WindowTitle(*info);
  if (title == caption) return;
  caption = std::move(title);
  if (on_caption_changed) on_caption_changed();
}

bool Form1::Load() {
  // 1. The node object; from here on its events reach this window.
  Result<std::unique_ptr<EchoLinkObject>> made = services_.nodes.Create();
  if (!made) {
    ShowMessage({"The node program could not be reached: " + made.message(),
                                  std::string(texts::kProductName), MsgIcon::kStop});
    EndProgram();
    return false;
  }
  echolink_ = std::move(*made);
  echolink_->SetEvents(this);
  // 2. The caption.
  caption = WindowTitle(echolink_->InfoText().value_or(""));
  // 3. Whatever the node was doing, the transmitter is released.
  ContinuePastFailure(echolink_->Transmit(false));
  // 4. The settings, key by key, into the controls; LEFT and TOP move the window.
  std::vector<std::string> problems = ReadSettings();
  // 5. The volume bar from the stored volume.
  ApplyStoredVolume(problems);
  // 6. No announcement under way.
  Announcing = 0;

  // Captions follow the language texts from the first moment on, not half a second later,
  // and the time texts are current before the first clock tick: a DTMF code that arrives
  // straight after start-up speaks the time, not clips named "HH" and "MM".
  Timer7_Timer();
  ShowTimeTexts();
  if (!problems.empty()) {
    std::string text;
    for (const std::string& line : problems) text += (text.empty() ? "" : "\r\n") + line;
    ShowMessage(
        {text, std::string(texts::kSettingsTitle), MsgIcon::kExclamation, MsgButtons::kOk});
  }
  return !ended_;
}

bool Form1::QueryUnload() {
  if (ended_) return true;
  const MsgAnswer answer = ShowMessage(
      {std::string(texts::kQuitText), std::string(texts::kQuitTitle), MsgIcon::kQuestion,
       MsgButtons::kYesNo, MsgAnswer::kYes});
  if (answer != MsgAnswer::kYes) return false;
  ReleaseTransmitter();
  EndProgram();
  return true;
}

void Form1::Unload() { CleanUp(); }

void Form1::Command2_Click() {
  if (!form14_) {
    form14_ = std::make_unique<Form14>(services_);
    if (on_about_window_made) on_about_window_made(*form14_);
  }
  form14_->Show();
}

void Form1::Command5_Click() { SaveData(); }

void Form1::SaveAndExit_Click() {
  SaveData();
  // A transmitter keyed by a running announcement would have nothing left to release it.
  ReleaseTransmitter();
  EndProgram();
}

void Form1::Terminate(const std::string& reason) {
  Dispatch([&] {
    Log("ending: " + reason);
    ReleaseTransmitter();
    EndProgram();
  });
}

void Form1::ReleaseTransmitter() {
  ShowPtt(PTT, false);
  if (echolink_) ContinuePastFailure(echolink_->Transmit(false));
}

void Form1::ShowPtt(Label& indicator, bool on) {
  indicator.set_fore_colour(on ? kColourRed : kColourGreen);
  indicator.set_caption(std::string(on ? texts::kPttOn : texts::kPttOff));
}

void Form1::EndProgram() {
  if (ended_) return;
  ended_ = true;
  for (TimerService::TimerId id : timer_ids_) services_.timers.StopTimer(id);
  services_.end.EndNow();
}

}  // namespace horatone

namespace horatone {

bool Form1::ProgressIsIdle() const {
  return !ClipPosition || (!clip_deadline_ms && ClipHasEnded());
}

void Form1::AfterHandler() {
  if (progress_asleep_ && Timer1.running() && !ProgressIsIdle()) {
    progress_asleep_ = false;
    services_.timers.StartTimer(timer1_id_, Timer1.interval_ms());
  }
  // One line per clip that goes on air.
  if (const std::shared_ptr<MediaGraph> started = started_graph_.lock();
      started == ClipGraph && started) {
    Log("clip " + started_path_);
  }
  started_graph_.reset();
  services_.media.Commit();
}

MsgAnswer Form1::ShowMessage(const MessageBoxRequest& request) {
  // Handlers that run while the box is open commit their own media changes.
  const int depth = dispatch_depth_;
  dispatch_depth_ = 0;
  AfterHandler();
  const MsgAnswer answer = services_.dialogs.MessageBox(request);
  dispatch_depth_ = depth;
  return answer;
}

}  // namespace horatone
