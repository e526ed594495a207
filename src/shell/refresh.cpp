// The two refresh timers of the window: the voice refresh (Timer5) puts the chosen voice's
// folder and format into the active folder and format and disables voices without a folder;
// the caption refresh (Timer7) copies the language texts into the captions.
#include "shell/form1.h"
#include "shell/settings_table.h"

namespace horatone {

void Form1::Timer5_Timer() {
  for (size_t slot = 1; slot < voice_slots_.size(); ++slot) {
    voice_slots_[slot].select->set_enabled(!voice_slots_[slot].folder->text().empty());
  }
  for (const VoiceSlot& slot : voice_slots_) {
    if (!slot.select->value()) continue;
    FileLocation.set_text(slot.folder->text());
    if (slot.wav->value()) OptionWAV.set_value(true);
    if (slot.mp3->value()) OptionMP3.set_value(true);
  }
}

void Form1::Timer7_Timer() {
  for (const LanguageEntry& entry : kLanguageTexts) {
    entry.target(*this).set_caption(LanguageText(entry.number).text());
  }
  for (const LanguageEntry& entry : kLanguageTexts) {
    if (entry.second_target) entry.second_target(*this).set_caption(LanguageText(entry.number).text());
  }
}

}  // namespace horatone
