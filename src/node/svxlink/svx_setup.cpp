// What the clock needs of a SvxLink; see svx_setup.h.
#include "node/svxlink/svx_setup.h"

#include <algorithm>
#include <filesystem>
#include <tuple>

#include "shell/parse_number.h"

namespace horatone {
namespace {

constexpr const char* kGlobal = "GLOBAL";
constexpr const char* kStockEventHandler = "/usr/share/svxlink/events.tcl";

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
  return text;
}

bool Contains(const std::vector<std::string>& items, const std::string& item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

// Safe in svxlink.conf and on a systemd command line: no blanks, quotes, escapes, comments,
// or what systemd would expand ('%', '$').
Status CheckWord(const std::string& what, const std::string& word, bool path) {
  if (word.empty()) return Status::BadInput(what + " is empty");
  for (const char c : word) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7F || c == '"' || c == '\'' || c == '\\' || c == '#' || c == '%' ||
        c == '$' || c == ';' || c == ',')
      return Status::BadInput(what + " \"" + word +
                              "\" holds a character SvxLink or systemd would take apart");
  }
  if (path && word.front() != '/')
    return Status::BadInput(what + " \"" + word + "\" is not an absolute path");
  return Status::Ok();
}

Status CheckOptions(const SvxSetupOptions& options) {
  for (const auto& [what, word, path] :
       {std::tuple<const char*, const std::string&, bool>{"the logic", options.logic, false},
        {"the squelch PTY", options.squelch_pty, true},
        {"the DTMF PTY", options.dtmf_pty, true},
        {"the events FIFO", options.events, true},
        {"the user", options.user, false},
        {"the system directory", options.root, true},
        {"the clock's program", options.binary, true}}) {
    if (Status checked = CheckWord(what, word, path); !checked) return checked;
  }
  if (Status checked = CheckWord("the audio address", options.audio, false); !checked)
    return checked;
  const std::size_t colon = options.audio.rfind(':');
  const Result<int> port = colon == std::string::npos
                               ? Result<int>(Status::BadInput("no port"))
                               : ParseNumber(options.audio.substr(colon + 1), 1, 65535);
  if (colon == 0 || !port)
    return Status::BadInput("the audio address \"" + options.audio + "\" is not HOST:PORT");
  return Status::Ok();
}

}  // namespace

Result<std::vector<SvxChange>> SvxSetupChanges(const SvxConfigFile& file,
                                               const SvxSetupOptions& options) {
  if (Status checked = CheckOptions(options); !checked) return checked;
  const std::string& logic = options.logic;
  if (!file.HasSection(logic))
    return Status::NotFound("there is no [" + logic + "] section to put the clock in");

  std::vector<SvxChange> wanted;
  const auto want = [&](const std::string& section, const std::string& key, std::string value) {
    wanted.push_back({section, key, std::move(value), file.Get(section, key)});
  };
  // The logic runs.
  std::vector<std::string> logics = SplitSvxList(file.Get(kGlobal, "LOGICS").value_or(""));
  if (!Contains(logics, logic)) want(kGlobal, "LOGICS", logic);

  // The logic hears its own receiver and the clock's, through the Voter.
  const std::string rx = file.Get(logic, "RX").value_or("");
  std::vector<std::string> receivers;
  if (rx == kSvxVoter) {
    receivers = SplitSvxList(file.Get(kSvxVoter, "RECEIVERS").value_or(""));
  } else if (!rx.empty()) {
    receivers.push_back(rx);
  }
  if (!Contains(receivers, kSvxClockReceiver)) receivers.push_back(kSvxClockReceiver);
  want(logic, "RX", kSvxVoter);
  want(logic, "DTMF_CTRL_PTY", options.dtmf_pty);
  // The clock's squelch opens the repeater at once.
  want(logic, "OPEN_ON_SQL", "1");
  want(logic, "OPEN_SQL_FLANK", "OPEN");
  want(logic, "HORATONE_EVENTS", options.events);

  want(kSvxVoter, "TYPE", "Voter");
  want(kSvxVoter, "RECEIVERS", Joined(receivers));
  want(kSvxVoter, "VOTING_DELAY", "0");
  want(kSvxVoter, "BUFFER_LENGTH", "0");

  const std::string me = kSvxClockReceiver;
  want(me, "TYPE", "Local");
  want(me, "AUDIO_DEV", "udp:" + options.audio);
  want(me, "AUDIO_CHANNEL", "0");
  want(me, "SQL_DET", "PTY");
  want(me, "PTY_PATH", options.squelch_pty);
  want(me, "SQL_HANGTIME", "0");
  want(me, "SQL_DELAY", "0");
  want(me, "DTMF_DEC_TYPE", "NONE");
  want(me, "DEEMPHASIS", "0");
  want(me, "PEAK_METER", "0");

  std::vector<SvxChange> changes;
  for (SvxChange& change : wanted) {
    if (change.had != change.want) changes.push_back(std::move(change));
  }
  return changes;
}

void ApplySvxChanges(SvxConfigFile* file, const std::vector<SvxChange>& changes) {
  for (const SvxChange& change : changes) file->Set(change.section, change.key, change.want);
}

std::string SvxLocalEventsFolder(const SvxConfigFile& file, const SvxSetupOptions& options) {
  const std::string handler = file.Get(options.logic, "EVENT_HANDLER").value_or(kStockEventHandler);
  return (std::filesystem::path(handler).parent_path() / "events.d" / "local").string();
}

int SvxCardRate(const SvxConfigFile& file) {
  const Result<int> rate =
      ParseNumber(file.Get(kGlobal, "CARD_SAMPLE_RATE").value_or("48000"), 8000, 192000);
  return rate ? *rate : 48000;
}

std::string SvxServiceDropIn(const SvxConfigFile& file, const SvxSetupOptions& options) {
  return "# Written by horatone svxlink-setup: the clock as one more receiver of SvxLink.\n"
         "# SvxLink's PTYs belong to the user SvxLink runs as, so the clock runs as that user;\n"
         "# /run/horatone holds the FIFO the Tcl handler reports into, the clock's alone.\n"
         "[Unit]\n"
         "After=svxlink.service\n"
         "\n"
         "[Service]\n"
         "User=" +
         options.user +
         "\n"
         "SupplementaryGroups=horatone\n"
         "RuntimeDirectory=horatone\n"
         "RuntimeDirectoryMode=0700\n"
         "ExecStart=\n"
         "ExecStart=" +
         options.binary + " --headless --root " + options.root + " --node svxlink --svx-audio " +
         options.audio + " --svx-rate " + std::to_string(SvxCardRate(file)) + " --svx-squelch " +
         options.squelch_pty + " --svx-dtmf " + options.dtmf_pty + " --svx-events " +
         options.events + "\n";
}

}  // namespace horatone
