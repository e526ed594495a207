// The window's controls on the web page; see web_window.h.
#include "shell/web_window.h"

#include <algorithm>
#include <array>
#include <functional>
#include <string_view>

#include "about/form14.h"
#include "runtime/ini_profile_file.h"
#include "shell/form1.h"
#include "shell/json_quote.h"
#include "shell/parse_number.h"
#include "shell/texts.h"
#include "shell/web_form.h"

namespace horatone {
namespace {

// The longest donation amount the page may type into the About window's list.
constexpr std::size_t kLongestAmount = 64;

std::string Member(std::string_view name, std::string_view text) {
  return JsonQuote(name) + ":" + JsonQuote(text);
}

std::string Bar(const ScrollBar& bar) {
  return JsonQuote(bar.name()) + ":{\"min\":" + std::to_string(bar.min()) +
         ",\"max\":" + std::to_string(bar.max()) + ",\"value\":" + std::to_string(bar.value()) +
         "}";
}

template <std::size_t N>
std::string List(const std::array<std::string_view, N>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < N; ++i) out += (i ? "," : "") + JsonQuote(items[i]);
  return out + "]";
}

std::string List(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + JsonQuote(items[i]);
  return out + "]";
}

std::string AboutJson(Form1& form) {
  Form14* about = form.about_window();
  if (!about || !about->loaded()) return "null";
  std::vector<std::string> lines;
  for (const Label& line : about->maker_labels) lines.push_back(line.caption());
  return std::string("{\"visible\":") + (about->visible() ? "true" : "false") + "," +
         Member("caption", about->caption) + "," + Member("title", about->Label6.caption()) +
         ",\"lines\":" + List(lines) + ",\"items\":" + List(about->Combo1.items()) + "," +
         Member("amount", about->Combo1.text()) + "," +
         Member("donate", about->Command4.caption()) + "," +
         Member("hide", about->Command1.caption()) + "," + Member("email", Maker().email) + "," +
         Member("web", Maker().web_host) + "," +
         Member("amountTip", texts::kDonationAmountTooltip) + "," +
         Member("donateTip", texts::kMakeDonationTooltip) + "}";
}

ScrollBar* FindBar(Form1& form, std::string_view name) {
  for (ScrollBar* bar : {&form.V1, &form.V2, &form.H2, &form.H1}) {
    if (bar->name() == name) return bar;
  }
  return nullptr;
}

CommandButton* FindButton(Form1& form, std::string_view name) {
  for (CommandButton* button :
       {&form.Command1, &form.Command2, &form.Command5, &form.SaveAndExit, &form.Command9}) {
    if (button->name() == name) return button;
  }
  for (const VoiceSlot& slot : form.voice_slots()) {
    if (slot.default_button->name() == name) return slot.default_button;
  }
  return nullptr;
}

CommandButton* FindAboutButton(Form14& about, std::string_view name) {
  for (CommandButton* button :
       {&about.Command1, &about.Command2, &about.Command3, &about.Command4}) {
    if (button->name() == name) return button;
  }
  return nullptr;
}

const std::string* Value(const PageValues& values, std::string_view key) {
  for (const auto& [name, value] : values) {
    if (name == key) return &value;
  }
  return nullptr;
}

// Why a use is refused before anything runs, or ok with the handler to run.
struct Checked {
  PageAnswer refusal;
  std::function<void()> run;
};

Checked CheckUse(Form1& form, std::string_view action, const PageValues& values) {
  const std::string* name = Value(values, "name");
  if (!name) return {PageMessage(422, "name: which control is missing"), {}};
  if (action == "bar") {
    ScrollBar* bar = FindBar(form, *name);
    if (!bar) return {PageMessage(404, "name: \"" + *name + "\" is not a bar of the window"), {}};
    const std::string* text = Value(values, "value");
    const int low = std::min(bar->min(), bar->max());
    const int high = std::max(bar->min(), bar->max());
    const Result<int> value = ParseNumber(text ? *text : "", low, high);
    if (!value) return {PageMessage(422, bar->name() + ": " + value.message()), {}};
    return {{}, [bar, to = *value] { bar->Scroll(to); }};
  }
  if (action == "click") {
    CommandButton* button = FindButton(form, *name);
    if (!button) {
      return {PageMessage(404, "name: \"" + *name + "\" is not a button of the window"), {}};
    }
    return {{}, [button] { button->Click(); }};
  }
  if (action == "about") {
    Form14* about = form.about_window();
    if (!about || !about->visible()) {
      return {PageMessage(409, "the About window is not shown; press " + form.Command2.caption() +
                                   " first"),
              {}};
    }
    CommandButton* button = FindAboutButton(*about, *name);
    if (!button) {
      return {PageMessage(404, "name: \"" + *name + "\" is not a button of the About window"), {}};
    }
    const std::string* amount = Value(values, "text");
    if (button != &about->Command4 || !amount) return {{}, [button] { button->Click(); }};
    if (amount->size() > kLongestAmount ||
        amount->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos ||
        ToUtf8(*amount) != *amount) {
      return {PageMessage(422, "Donation amount: not a line of text of at most " +
                                   std::to_string(kLongestAmount) + " bytes"),
              {}};
    }
    return {{}, [about, button, text = *amount] {
              about->Combo1.set_text(text);
              button->Click();
            }};
  }
  return {PageMessage(404, std::string(action) + " is not a use of the window"), {}};
}

}  // namespace

PageAnswer PageMessage(int status, const std::string& message) {
  return {status, "{" + Member("message", message) + "}"};
}

std::string WindowStatusJson(Form1& form) {
  std::string captions = "{";
  for (const Captioned* control : std::initializer_list<const Captioned*>{
           &form.Command29, &form.Command2, &form.Command5, &form.SaveAndExit, &form.Label7,
           &form.Command1, &form.Command9, &form.Frame2, &form.Frame3, &form.Frame4, &form.Frame11,
           &form.Frame13, &form.Frame5, &form.Frame14, &form.Frame15, &form.Label42}) {
    captions += Member(control->name(), control->caption()) + ",";
  }
  captions +=
      Member("tabSetup", texts::kTabSetup) + "," + Member("tabVoices", texts::kTabAudioFiles) +
      "," + Member("tabLanguage", texts::kTabLanguage) + "," +
      Member("timeLeft", texts::kTimeLeftCaption) + "," +
      Member("timeUsed", texts::kTimeUsedCaption) + "," + Member("length", texts::kLengthCaption) +
      "," + Member("full", texts::kProgressFull) + "," +
      Member("balanceScale", texts::kBalanceScale) + "," + Member("saveTip", texts::kSaveTooltip) +
      "," + Member("saveExitTip", texts::kSaveAndExitTooltip) +
      ",\"volumeScale\":" + List(std::to_array(texts::kVolumeScale)) +
      ",\"speedScale\":" + List(std::to_array(texts::kSpeedScale)) + "}";
  std::string shown = "{";
  for (const TextBox* box : {&form.Text1, &form.Text2, &form.Text3, &form.HH, &form.MM, &form.AM_PM,
                             &form.VolSet, &form.SpeedSet, &form.FileLocation}) {
    shown += Member(box->name(), box->text()) + ",";
  }
  shown.back() = '}';
  return "\"captions\":" + captions + ",\"bars\":{" + Bar(form.V1) + "," + Bar(form.V2) + "," +
         Bar(form.H2) + "," + Bar(form.H1) + "},\"texts\":" + shown + "," +
         Member("format", form.OptionWAV.value()   ? form.OptionWAV.caption()
                          : form.OptionMP3.value() ? form.OptionMP3.caption()
                                                   : "") +
         ",\"ptt\":{" + Member("caption", form.PTT.caption()) +
         ",\"on\":" + (form.PTT.fore_colour() == kColourRed ? "true" : "false") + "}," +
         Member("ptt2", form.PTT2.caption()) + ",\"about\":" + AboutJson(form);
}

PageAnswer UseWindowControl(Form1& form, std::string_view action, const PageValues& values,
                            std::vector<std::string>* links_opened) {
  if (form.ended()) return PageMessage(503, "the clock has ended");
  Checked use = CheckUse(form, action, values);
  if (!use.run) return use.refusal;
  const auto lines_before = form.SettingsLines();
  const std::string revision_before = SettingsRevision(form);
  if (links_opened) links_opened->clear();
  form.Dispatch(use.run);
  // A handler that ended the program (Save & Exit) leaves the model as it was at the end.
  const auto lines_after = form.SettingsLines();
  std::string changed = "{";
  for (std::size_t i = 0; i < lines_after.size() && i < lines_before.size(); ++i) {
    if (lines_after[i].second == lines_before[i].second) continue;
    changed +=
        (changed.size() > 1 ? "," : "") + Member(lines_after[i].first, lines_after[i].second);
  }
  std::vector<std::string> opened;
  if (links_opened) opened.swap(*links_opened);
  return {200, "{" + Member("message", form.ended() ? "the clock has ended" : "done") +
                   ",\"ended\":" + (form.ended() ? "true" : "false") + ",\"settings\":" + changed +
                   "}," + Member("revisionBefore", revision_before) + "," +
                   Member("revision", SettingsRevision(form)) + ",\"opened\":" + List(opened) +
                   "}"};
}

}  // namespace horatone
