// The web page's view of the window model; see web_form.h.
#include "shell/web_form.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <set>

#include "runtime/ini_profile_file.h"
#include "shell/form1.h"
#include "shell/schedule_form.h"
#include "shell/settings_table.h"
#include "shell/texts.h"

namespace horatone {
namespace {

// A value read back from the file is cut at this many characters, so a longer one would not
// survive.
constexpr std::size_t kLongestValue = 255;

// Characters of UTF-8 text: the bytes that do not continue a character.
std::size_t Characters(std::string_view text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The fields that the selected voice fills in (the voice refresh overwrites them) and the
// window's position: stored, but not on any tab.
bool IsOnATab(std::string_view key) {
  return key != "FILELOCATION" && key != "OPTIONWAV" && key != "OPTIONMP3" && key != "LEFT" &&
         key != "TOP";
}

std::string_view KindName(SettingKind kind) {
  switch (kind) {
    case SettingKind::kText:
      return "text";
    case SettingKind::kOption:
      return "option";
    case SettingKind::kCheck:
      return "check";
    case SettingKind::kPosition:
      return "position";
  }
  return "text";
}

// The tab a key's control sits on: a voice's folder and format are on the voices tab, the
// language texts on their own, everything else on the setup tab.
std::string_view TabOf(Form1& form, const SettingKey& setting) {
  if (setting.kind == SettingKind::kText) {
    for (const LanguageEntry& entry : kLanguageTexts) {
      if (&setting.text(form) == &form.LanguageText(entry.number)) return "language";
    }
  }
  for (const VoiceSlot& slot : form.voice_slots()) {
    if (setting.kind == SettingKind::kText && &setting.text(form) == slot.folder) return "voices";
    if (setting.kind == SettingKind::kOption && &setting.option(form).group() == &slot.wav->group())
      return "voices";
  }
  return "setup";
}

std::string Trimmed(std::string_view text) {
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.remove_suffix(1);
  return std::string(text);
}

const OptionGroup* GroupOf(Form1& form, const SettingKey& setting) {
  return setting.kind == SettingKind::kOption ? &setting.option(form).group() : nullptr;
}

// What the window shows next to a field: its own caption, or the caption of its frame.
std::string LabelOf(Form1& form, const SettingKey& setting) {
  const std::string_view key = setting.key;
  if (key == "VOLSET") return form.Frame11.caption();
  if (key == "DTMFTIME") return form.Label6.caption();
  for (const VoiceSlot& slot : form.voice_slots()) {
    if (setting.kind == SettingKind::kText && &setting.text(form) == slot.folder) {
      return slot.frame->caption();
    }
  }
  for (const LanguageEntry& entry : kLanguageTexts) {
    if (setting.kind == SettingKind::kText &&
        &setting.text(form) == &form.LanguageText(entry.number)) {
      return Trimmed(entry.label);
    }
  }
  if (setting.kind == SettingKind::kOption) {
    const std::string& caption = setting.option(form).caption();
    return caption.empty() ? setting.option(form).name() : caption;
  }
  if (setting.kind == SettingKind::kCheck) return setting.check(form).caption();
  return std::string(key);
}

// The caption of the frame that holds an option group.
std::string GroupLabel(Form1& form, const OptionGroup* group) {
  if (group == &form.Option1.group()) return form.Frame1.caption();
  if (group == &form.Option3.group()) return form.Frame18.caption();
  if (group == &form.Option5.group()) return form.Frame16.caption();
  for (const VoiceSlot& slot : form.voice_slots()) {
    if (group == &slot.wav->group())
      return slot.frame->caption() + " (" + form.Frame13.caption() + ")";
  }
  return "";
}

std::string StoredText(Form1& form, const SettingKey& setting) {
  return form.services().profile.GetString(std::string(texts::kSettingsSection),
                                           std::string(setting.key),
                                           std::string(setting.default_text));
}

// Why `text` is not a good value for `setting` (ok when it is). The conversions are the ones
// start-up reads the file with; a text must also come back from the file as it was written.
Status Refusal(const SettingKey& setting, const std::string& text) {
  bool good = true;
  if (setting.key == "VOLSET") {
    good = ParseVolumeText(text).ok();
  } else {
    switch (setting.kind) {
      case SettingKind::kText:
        break;
      case SettingKind::kOption:
        good = ParseOptionText(text).ok();
        break;
      case SettingKind::kCheck:
        good = ParseCheckText(text).ok();
        break;
      case SettingKind::kPosition:
        good = ParsePositionText(text).ok();
        break;
    }
  }
  if (!good) return Status::BadInput(std::string(setting.key) + " = \"" + text + "\" is not valid");
  if (text.find_first_of("\r\n") != std::string::npos) {
    return Status::BadInput(std::string(setting.key) + " holds a line break");
  }
  // The file's reader stops a value at a NUL byte, and its writer refuses one.
  if (text.find('\0') != std::string::npos) {
    return Status::BadInput(std::string(setting.key) + " holds a NUL byte");
  }
  // Anything else would be read back as Windows-1252, changed.
  if (ToUtf8(text) != text) return Status::BadInput(std::string(setting.key) + " is not UTF-8 text");
  if (Characters(text) > kLongestValue) {
    return Status::BadInput(std::string(setting.key) + " is longer than " +
                            std::to_string(kLongestValue) + " characters");
  }
  if (!text.empty() &&
      (text.front() == ' ' || text.back() == ' ' || text.front() == '\t' || text.back() == '\t')) {
    // Blanks around a value are dropped when the file is read.
    return Status::BadInput(std::string(setting.key) + " starts or ends with a blank");
  }
  return Status::Ok();
}

}  // namespace

std::size_t LongestSettingsForm() {
  // Each value at its longest in 4-byte characters, every byte percent-encoded.
  std::size_t bytes = std::string_view("_revision=").size() + 16;
  for (const SettingKey& setting : kSettingKeys) {
    bytes += 1 + setting.key.size() + 1 + kLongestValue * 4 * 3;
  }
  return bytes + LongestScheduleFields(kLongestValue);
}

std::string SettingsRevision(Form1& form) {
  // FNV-1a over the model's lines and the file's texts, each ended by a zero byte.
  std::uint64_t hash = 1469598103934665603ull;
  const auto add = [&hash](std::string_view text) {
    for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    hash *= 1099511628211ull;
  };
  for (const auto& [key, value] : form.SettingsLines()) add(value);
  for (const SettingKey& setting : kSettingKeys) add(StoredText(form, setting));
  for (const std::string& text : ScheduleRevisionTexts(form)) add(text);
  char text[24];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string SettingsFormJson(Form1& form) {
  const auto lines = form.SettingsLines();
  std::string out = "{\"revision\":" + JsonQuote(SettingsRevision(form)) + ",\"fields\":[";
  for (std::size_t i = 0; i < kSettingKeys.size(); ++i) {
    const SettingKey& setting = kSettingKeys[i];
    if (setting.kind == SettingKind::kPosition) continue;
    const OptionGroup* group = GroupOf(form, setting);
    std::string group_id, group_label;
    if (group) {
      group_id = group->members().front()->name();
      group_label = GroupLabel(form, group);
    }
    if (out.back() != '[') out += ",";
    out += "{\"key\":" + JsonQuote(setting.key) + ",\"kind\":" + JsonQuote(KindName(setting.kind)) +
           ",\"tab\":" + JsonQuote(TabOf(form, setting)) + ",\"label\":" + JsonQuote(LabelOf(form, setting)) +
           ",\"group\":" + JsonQuote(group_id) + ",\"groupLabel\":" + JsonQuote(group_label) +
           ",\"value\":" + JsonQuote(lines[i].second) +
           ",\"derived\":" + (IsOnATab(setting.key) ? "false" : "true");
    // A voice's folder and format sit in the voice's frame, the folder with the window's
    // "Default" button beside it.
    for (std::size_t n = 0; n < form.voice_slots().size(); ++n) {
      const VoiceSlot& slot = form.voice_slots()[n];
      const bool folder = setting.kind == SettingKind::kText && &setting.text(form) == slot.folder;
      const bool format = group == &slot.wav->group();
      if (!folder && !format) continue;
      out += ",\"slot\":" + std::to_string(n + 1) +
             ",\"slotLabel\":" + JsonQuote(slot.frame->caption());
      if (folder) {
        out += ",\"preset\":" + JsonQuote(slot.default_folder) +
               ",\"presetLabel\":" + JsonQuote(slot.default_button->caption()) +
               ",\"presetButton\":" + JsonQuote(slot.default_button->name());
      }
    }
    out += "}";
  }
  return out + "," + ScheduleFieldsJson(form) + "]}";
}

FormOutcome ApplySettingsForm(Form1& form, const std::string& base_revision,
                              const std::vector<std::pair<std::string, std::string>>& values) {
  FormOutcome outcome;
  form.Dispatch([&] {
    if (base_revision != SettingsRevision(form)) {
      outcome.stale = true;
      outcome.message =
          "Not saved: the settings were changed elsewhere (the window, the settings file or "
          "another page) after this page loaded them. Reload the page to see them, then make "
          "the change again.";
      return;
    }
    std::map<std::string, std::string> given;
    std::vector<std::pair<std::string, std::string>> schedule_given;
    for (const auto& entry : values) {
      const std::string& key = entry.first;  // named, not bound: a lambda below uses it
      const std::string& text = entry.second;
      if (!ScheduleKeyOfField(key).empty()) {
        // Checked by the schedule's own rules and by those of a value the file keeps whole.
        const auto twice = [&](const auto& done) { return done.first == key; };
        if (std::any_of(schedule_given.begin(), schedule_given.end(), twice)) {
          outcome.problems.push_back(key + " is given twice");
        } else if (Status why = ScheduleFieldRefusal(key, text); !why) {
          outcome.problems.push_back(std::move(why.message));
        } else if (Status kept = Refusal(SettingKey{key, SettingKind::kText, ""}, text); !kept) {
          outcome.problems.push_back(std::move(kept.message));
        } else {
          schedule_given.emplace_back(key, text);
        }
        continue;
      }
      const auto setting = std::find_if(kSettingKeys.begin(), kSettingKeys.end(),
                                        [&](const SettingKey& s) { return s.key == key; });
      if (setting == kSettingKeys.end() || !IsOnATab(key)) {
        outcome.problems.push_back(key + " is not a setting of the page");
      } else if (given.count(key)) {
        outcome.problems.push_back(key + " is given twice");
      } else if (Status why = Refusal(*setting, text); !why) {
        outcome.problems.push_back(std::move(why.message));
      } else {
        given[key] = text;
      }
    }
    // Within a group of options exactly one stays selected, as in the window.
    std::map<const OptionGroup*, int> selected;
    std::set<const OptionGroup*> touched;
    for (const SettingKey& setting : kSettingKeys) {
      const OptionGroup* group = GroupOf(form, setting);
      if (!group || !IsOnATab(setting.key)) continue;
      const auto it = given.find(std::string(setting.key));
      if (it != given.end()) touched.insert(group);
      const bool on =
          it != given.end() ? *ParseOptionText(it->second) : setting.option(form).value();
      selected[group] += on ? 1 : 0;
    }
    for (const OptionGroup* group : touched) {
      if (selected[group] != 1) {
        outcome.problems.push_back("choose exactly one of " + GroupLabel(form, group));
      }
    }
    if (!outcome.problems.empty()) {
      outcome.message = "Not saved: " + std::to_string(outcome.problems.size()) +
                        (outcome.problems.size() == 1 ? " value was" : " values were") +
                        " refused.";
      return;
    }
    // Options are cleared before any is selected, so a selection is never undone by a later
    // key of its group.
    for (const int pass : {0, 1}) {
      for (const SettingKey& setting : kSettingKeys) {
        const auto it = given.find(std::string(setting.key));
        if (it == given.end()) continue;
        const std::string& text = it->second;
        switch (setting.kind) {
          case SettingKind::kText:
            if (pass == 0) setting.text(form).set_text(text);
            break;
          case SettingKind::kOption:
            if (*ParseOptionText(text) == (pass == 1)) setting.option(form).set_value(pass == 1);
            break;
          case SettingKind::kCheck:
            if (pass == 0) setting.check(form).set_value(*ParseCheckText(text));
            break;
          case SettingKind::kPosition:
            break;
        }
      }
    }
    // The volume bar follows its text, and its change handler writes the text back as the
    // bar's value; the voice and the captions follow at once, as after a reload.
    form.V1.set_value(*ParseVolumeText(form.VolSet.text()));
    form.V1_Change();
    ApplyScheduleFields(form, schedule_given);
    form.Timer5_Timer();
    form.Timer7_Timer();
    if (form.log)
      form.log("settings: changed from the web page (" +
               std::to_string(given.size() + schedule_given.size()) + " values)");
    outcome.saved = form.SaveData();
    outcome.message = outcome.saved ? "Saved to " + form.services().profile.Describe() + "."
                                    : "Applied, but the settings file could not be written: "
                                      "see the log.";
  });
  outcome.revision = SettingsRevision(form);
  return outcome;
}

std::string FormOutcomeJson(const FormOutcome& outcome) {
  std::string out = std::string("{\"saved\":") + (outcome.saved ? "true" : "false") +
                    ",\"stale\":" + (outcome.stale ? "true" : "false") +
                    ",\"message\":" + JsonQuote(outcome.message) + ",\"problems\":[";
  for (std::size_t i = 0; i < outcome.problems.size(); ++i) {
    out += (i ? "," : "") + JsonQuote(outcome.problems[i]);
  }
  return out + "],\"revision\":" + JsonQuote(outcome.revision) + "}";
}

std::string ClockStatusJson(Form1& form) {
  // The next slot the schedule would speak at: second 0 of one of the coming minutes.
  std::string next = "none";
  if (const std::optional<LocalTime> at = form.NextSlotTime()) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", at->hour, at->minute);
    next = text;
  }
  // Under way while a clip of it is still heard: the last clip plays on after the sequencer
  // has stopped, and the transmitter stays keyed until the unkey check sees it end.
  const bool heard = form.ClipGraph && !form.ClipHasEnded();
  const bool keyed = form.PTT.caption() == texts::kPttOn;
  const bool announcing = form.Announcing.value_or(0) != 0 || form.Timer2.running() || heard;
  std::string clip = form.ClipPath;
  if (const auto slash = clip.find_last_of("/\\"); slash != std::string::npos) {
    clip = clip.substr(slash + 1);
  }
  const Status sound = form.services().media.Unavailable();
  return "\"time\":" + JsonQuote(form.ShowTheTime.caption()) +
         ",\"transmitter\":" + JsonQuote(form.PTT.caption()) +
         ",\"announcing\":" + (announcing ? "true" : "false") +
         ",\"clip\":" + JsonQuote(announcing || (form.ClipGraph && keyed) ? clip : "") +
         ",\"next\":" + JsonQuote(next) +
         ",\"sound\":" + JsonQuote(sound ? "ready" : "lost (" + sound.message + "), reconnecting");
}

}  // namespace horatone
