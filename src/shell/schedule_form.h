// The schedule's keys as fields of the page's settings form: named SCHEDULE.KEY, on a tab
// and in a group of their own, checked by the schedule's own rules and applied through the
// window model, so that the page saves them exactly as the window and `config` do.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shell/status.h"

namespace horatone {

class Form1;

// The field name of a schedule key on the page, and the key a field name names (empty for
// a name that is not one).
std::string ScheduleFieldName(std::string_view key);
std::string_view ScheduleKeyOfField(std::string_view field);

// The fields, each a JSON object, comma-separated and without the list's brackets.
std::string ScheduleFieldsJson(Form1& form);
// Why `text` is refused for the field (ok when it is good).
Status ScheduleFieldRefusal(std::string_view field, const std::string& text);
// Applies checked fields to the window model (the save that follows writes the section).
void ApplyScheduleFields(Form1& form, const std::vector<std::pair<std::string, std::string>>& fields);
// The texts that make the form's revision: the model's and the file's.
std::vector<std::string> ScheduleRevisionTexts(Form1& form);
// The longest urlencoded part a save can send for these fields.
std::size_t LongestScheduleFields(std::size_t longest_value);

}  // namespace horatone
