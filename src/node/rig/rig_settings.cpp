// The radio adapter's settings; see rig_settings.h.
#include "node/rig/rig_settings.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "shell/parse_number.h"

namespace horatone {
namespace {

struct RigKey {
  const char* key;
  const char* long_option;
  const char* short_option;  // rigctl's letter, where it has one
  const char* help;
};

constexpr RigKey kRigKeys[] = {
    {"MODEL", "--rig-model", "-m", "Hamlib rig model number (1 dummy, 2 rigctld; default 1)"},
    {"RIGFILE", "--rig-file", "-r", "rig device, or HOST:PORT of rigctld with model 2"},
    {"SERIALSPEED", "--serial-speed", "-s", "serial speed of the rig port"},
    {"PTTFILE", "--ptt-file", "-p", "PTT device when not the rig port (serial, hidraw, GPIO)"},
    {"PTTTYPE", "--ptt-type", "-P",
     "RIG, RIGMICDATA, DTR, RTS, PARALLEL, CM108, GPIO, GPION, NONE"},
    {"DCDTYPE", "--dcd-type", nullptr, "RIG, DSR, CTS, CD, PARALLEL, CM108, GPIO, GPION, NONE"},
    {"TXDELAY", "--tx-delay", nullptr, "ms keyed before the first sample (default 300)"},
    {"HANGTIME", "--hang-time", nullptr, "ms keyed after the last sample (default 200)"},
    {"TIMEOUT", "--tx-timeout", nullptr, "s before the transmitter is released (default 60)"},
    {"BUSYWAIT", "--busy-wait", nullptr, "s a scheduled announcement waits for a busy channel"},
    {"DTMFPAUSE", "--dtmf-pause", nullptr, "ms of silence that ends a DTMF code (default 2000)"},
    {"RXAUDIO", "--rx-audio", nullptr, "receiver audio for DTMF: pulse[:SOURCE] or alsa[:DEVICE]"},
};

// Hamlib's own spellings of the port types it takes.
constexpr const char* kPttTypes[] = {"RIG",   "RIGMICDATA", "DTR",   "RTS", "Parallel",
                                     "CM108", "GPIO",       "GPION", "None"};
constexpr const char* kDcdTypes[] = {"RIG",   "DSR",  "CTS",   "CD",  "Parallel",
                                     "CM108", "GPIO", "GPION", "None"};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

template <std::size_t N>
std::optional<std::string> PortType(const std::string& text, const char* const (&names)[N]) {
  for (const char* name : names) {
    if (Upper(name) == Upper(text)) return std::string(name);
  }
  return std::nullopt;
}

}  // namespace

const char* RigKeyForOption(std::string_view option) {
  for (const RigKey& k : kRigKeys) {
    if (option == k.long_option || (k.short_option && option == k.short_option)) return k.key;
  }
  return nullptr;
}

std::string RigOptionsHelp() {
  std::string help;
  for (const RigKey& k : kRigKeys) {
    std::string names = k.short_option ? std::string(k.short_option) + ", " : "    ";
    names += k.long_option;
    names.resize(std::max<std::size_t>(names.size() + 1, 21), ' ');
    help += "  " + names + k.help + "\n";
  }
  return help;
}

RigSettings LoadRigSettings(ProfileStore& profile,
                            const std::map<std::string, std::string>& command_line,
                            std::vector<std::string>* problems) {
  RigSettings s;
  for (const RigKey& k : kRigKeys) {
    std::string value;
    std::string where;
    if (const auto given = command_line.find(k.key); given != command_line.end()) {
      value = given->second;
      where = std::string(k.long_option) + " " + value;
    } else {
      value = profile.GetString(kRigSection, k.key, "");
      if (value.empty()) continue;
      where =
          std::string(k.key) + "=" + value + " in [" + kRigSection + "] of " + profile.Describe();
    }
    const std::string key = k.key;
    auto number = [&](int* out, int low, int high, const char* unit) {
      if (const Result<int> n = ParseNumber(value, low, high)) {
        *out = *n;
      } else if (problems) {
        problems->push_back(where + ": not a whole number of " + unit + " from " +
                            std::to_string(low) + " to " + std::to_string(high) + "; keeping " +
                            std::to_string(*out));
      }
    };
    auto port_type = [&](std::string* out, std::optional<std::string> type) {
      if (type) {
        *out = *type;
      } else if (problems) {
        problems->push_back(where + ": not a port type Hamlib knows; keeping the model's own");
      }
    };
    if (key == "MODEL")
      number(&s.model, 1, 99999999, "model");
    else if (key == "RIGFILE")
      s.rig_file = value;
    else if (key == "SERIALSPEED")
      number(&s.serial_speed, 0, 4000000, "bits per second");
    else if (key == "PTTFILE")
      s.ptt_file = value;
    else if (key == "PTTTYPE")
      port_type(&s.ptt_type, PortType(value, kPttTypes));
    else if (key == "DCDTYPE")
      port_type(&s.dcd_type, PortType(value, kDcdTypes));
    // Up to 1.5 s: the announcement gives up on a clip that has not ended 2 s after it should.
    else if (key == "TXDELAY")
      number(&s.tx_delay_ms, 0, 1500, "milliseconds");
    else if (key == "HANGTIME")
      number(&s.hang_ms, 0, 5000, "milliseconds");
    else if (key == "TIMEOUT")
      number(&s.timeout_s, 1, 3600, "seconds");
    else if (key == "BUSYWAIT")
      number(&s.busy_wait_s, 0, 600, "seconds");
    else if (key == "DTMFPAUSE")
      number(&s.dtmf_pause_ms, 200, 10000, "milliseconds");
    else if (key == "RXAUDIO")
      s.rx_audio = value;
  }
  return s;
}

}  // namespace horatone
