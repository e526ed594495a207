// What the web page shows of the window model and how its settings form goes back into it:
// the settings as form fields, checked with the settings file's own conversions, applied
// to the controls and saved through SaveData; the revision that tells a save built on what
// the page last saw from one built on stale data; and the clock's status as JSON. Everything
// here runs on the loop thread, inside the window's dispatch.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shell/json_quote.h"

namespace horatone {

class Form1;

// A digest of the values the window holds and of the texts the settings file holds, so
// that a change from the window, from a reload or from `config set` all make a new revision.
std::string SettingsRevision(Form1& form);

// {"revision":..., "fields":[{key, kind, tab, label, group, value, derived}, ...]}: the fields
// of the window's three tabs in table order.
std::string SettingsFormJson(Form1& form);

struct FormOutcome {
  bool saved = false;
  bool stale = false;
  std::string message;
  std::vector<std::string> problems;  // one line for each value that was refused
  std::string revision;               // the revision after the outcome
};

// Checks `values` (key, text) from the page; when they are all good and `base_revision` is
// still current, sets the controls, lets the voice and the captions follow at once and saves
// through SaveData. Nothing changes when anything is refused. Keys the page does not show
// (window position, the fields the selected voice fills in) are refused.
FormOutcome ApplySettingsForm(Form1& form, const std::string& base_revision,
                              const std::vector<std::pair<std::string, std::string>>& values);
std::string FormOutcomeJson(const FormOutcome& outcome);

// The size of the largest form a save can send (urlencoded, every field at its longest), so
// that the server never refuses a save the rules above would take.
std::size_t LongestSettingsForm();

// The clock's own part of the status: time, transmitter, announcement and its clip, the next
// enabled slot and the sound output, as JSON object members (no braces). Cheap: a connected
// page asks for it four times a second.
std::string ClockStatusJson(Form1& form);

}  // namespace horatone
