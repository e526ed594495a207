// The page's schedule fields; see schedule_form.h.
#include "shell/schedule_form.h"

#include "shell/form1.h"
#include "shell/json_quote.h"
#include "shell/schedule_rules.h"

namespace horatone {

std::string ScheduleFieldName(std::string_view key) {
  return std::string(kScheduleSection) + "." + std::string(key);
}

std::string_view ScheduleKeyOfField(std::string_view field) {
  const std::string prefix = std::string(kScheduleSection) + ".";
  if (!field.starts_with(prefix)) return {};
  const ScheduleKey* entry = FindScheduleKey(field.substr(prefix.size()));
  // Only the exact spelling, as the page's other fields.
  if (entry == nullptr || entry->key != field.substr(prefix.size())) return {};
  return entry->key;
}

std::string ScheduleFieldsJson(Form1& form) {
  std::string out;
  for (const auto& [key, value] : form.ScheduleLines()) {
    const ScheduleKey* entry = FindScheduleKey(key);
    if (!out.empty()) out += ",";
    out += "{\"key\":" + JsonQuote(ScheduleFieldName(key)) + ",\"kind\":\"text\"" +
           ",\"tab\":\"schedule\",\"label\":" + JsonQuote(key) +
           ",\"group\":\"Schedule\",\"groupLabel\":\"Schedule\",\"value\":" + JsonQuote(value) +
           ",\"default\":" + JsonQuote(entry->default_text) + ",\"rule\":" +
           JsonQuote(entry->rule) + ",\"derived\":false}";
  }
  return out;
}

Status ScheduleFieldRefusal(std::string_view field, const std::string& text) {
  const ScheduleKey* entry = FindScheduleKey(ScheduleKeyOfField(field));
  if (entry == nullptr) return Status::BadInput(std::string(field) + " is not a setting of the page");
  ScheduleRules rules;
  if (const Status applied = entry->apply(rules, text); !applied) {
    return Status::BadInput(std::string(field) + ": " + applied.message);
  }
  return Status::Ok();
}

void ApplyScheduleFields(Form1& form,
                         const std::vector<std::pair<std::string, std::string>>& fields) {
  for (const auto& [field, text] : fields) {
    ContinuePastFailure(form.SetScheduleValue(ScheduleKeyOfField(field), text));
  }
}

std::vector<std::string> ScheduleRevisionTexts(Form1& form) {
  std::vector<std::string> texts;
  for (const auto& [key, value] : form.ScheduleLines()) {
    texts.push_back(value);
    texts.push_back(form.services().profile.GetString(std::string(kScheduleSection), key,
                                                      "\x01"));
  }
  return texts;
}

std::size_t LongestScheduleFields(std::size_t longest_value) {
  std::size_t bytes = 0;
  for (const ScheduleKey& entry : kScheduleKeys) {
    bytes += 1 + ScheduleFieldName(entry.key).size() + 2 + 1 + longest_value * 4 * 3;
  }
  return bytes;
}

}  // namespace horatone
