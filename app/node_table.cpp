// The node table; see node_table.h.
#include "node_table.h"

#include "node/bridge/bridge_node.h"
#include "node/rig/rig_node.h"
#include "node/simulated/simulated_node.h"
#include "node/svxlink/svxlink_node.h"
#include "runtime/posix_loop.h"
#include "sound/audio_engine.h"

namespace horatone {
namespace {

Result<OpenedNode> OpenSimulated(const NodeContext& context) {
  OpenedNode opened;
  auto node = std::make_unique<SimulatedNode>(context.loop);
  opened.simulated = node.get();
  opened.nodes = std::move(node);
  opened.connected = [] { return true; };
  return opened;
}

Result<OpenedNode> OpenBridge(const NodeContext& context) {
  BridgeNode::Hooks hooks;
  hooks.on_disconnect = [abandon = context.abandon] { abandon("the node connection was lost"); };
  hooks.log = [log = context.log](std::string line) { log(line); };
  Result<std::unique_ptr<BridgeNode>> bridge =
      BridgeNode::Open(context.loop, context.options.node, context.options.root, std::move(hooks));
  if (!bridge) {
    return Status::Error(bridge.status().kind, "cannot open the node connection " +
                                                   context.options.node + ": " + bridge.message());
  }
  OpenedNode opened;
  opened.connected = [node = bridge->get()] { return node->node_connected(); };
  opened.nodes = std::move(*bridge);
  return opened;
}

Result<OpenedNode> OpenRig(const NodeContext& context) {
  std::vector<std::string> problems;
  const RigSettings settings =
      LoadRigSettings(context.profile, context.options.rig_options, &problems);
  for (const std::string& problem : problems) context.log("settings: " + problem);
  RigNode::Hooks hooks;
  PosixLoop& loop = context.loop;
  hooks.post_to_loop = [&loop](std::function<void()> task) { loop.Post(std::move(task)); };
  hooks.log = context.log;
  hooks.on_lost = context.abandon;
  AudioEngine& sound = context.sound;  // outlives the rig, which is made after it
  hooks.hold_output = [&sound](bool hold) { sound.HoldOutput(hold); };
  hooks.seconds_until_quiet = [&sound] { return sound.SecondsUntilQuiet(); };
  Result<std::unique_ptr<RigNode>> rig = RigNode::Open(settings, std::move(hooks));
  if (!rig) return Status::Error(rig.status().kind, "cannot use the rig: " + rig.message());
  OpenedNode opened;
  opened.connected = [node = rig->get()] { return node->connected(); };
  opened.nodes = std::move(*rig);
  opened.busy_wait_seconds = settings.busy_wait_s;
  opened.waits_for_sound = true;
  return opened;
}

Result<OpenedNode> OpenSvxLink(const NodeContext& context) {
  SvxLinkNode::Hooks hooks;
  hooks.log = context.log;
  hooks.on_lost = context.abandon;
  Result<std::unique_ptr<SvxLinkNode>> svxlink =
      SvxLinkNode::Open(context.loop, context.options.svxlink, std::move(hooks));
  if (!svxlink) {
    return Status::Error(svxlink.status().kind, "cannot use SvxLink: " + svxlink.message());
  }
  OpenedNode opened;
  opened.connected = [node = svxlink->get()] { return node->connected(); };
  opened.info = [node = svxlink->get()] { return node->InfoText(); };
  opened.clock_code = [node = svxlink->get()](const std::string& code) {
    node->SetClockCode(code);
  };
  opened.nodes = std::move(*svxlink);
  return opened;
}

constexpr NodeChoice kNodeChoices[] = {
    {"sim", "sim", " (the simulated node, default)", &OpenSimulated},
    {"stdio", "stdio", "", &OpenBridge},
    {"listen:", "listen:PORT", " (127.0.0.1, after AUTH and the key)", &OpenBridge},
    {"unix:", "unix:PATH", " (a socket file)", &OpenBridge},
    {"rig", "rig", " (a radio through Hamlib, no node program)", &OpenRig},
    {"svxlink", "svxlink", "", &OpenSvxLink},
};

// The help's lines stay within this many columns.
constexpr std::size_t kHelpWidth = 96;
constexpr std::string_view kHelpLead = "  --node NODE          ";

// The choices joined as a list: "a, b, c or d", each with `help` when asked for.
std::vector<std::string> ListItems(bool with_help) {
  std::vector<std::string> items;
  const std::size_t count = std::size(kNodeChoices);
  for (std::size_t i = 0; i < count; ++i) {
    const NodeChoice& choice = kNodeChoices[i];
    std::string item(choice.shown);
    if (with_help) item += choice.help;
    if (i + 2 < count) item += ",";
    if (i + 2 == count) item += " or";
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace

const NodeChoice* FindNodeChoice(std::string_view node) {
  for (const NodeChoice& choice : kNodeChoices) {
    const bool takes_more = choice.name.ends_with(':');
    if (takes_more ? node.starts_with(choice.name) : node == choice.name) return &choice;
  }
  return nullptr;
}

std::string NodeNames() {
  std::string names;
  for (const std::string& item : ListItems(false)) names += (names.empty() ? "" : " ") + item;
  return names;
}

std::string NodeOptionHelp() {
  std::string help(kHelpLead);
  std::size_t line_start = 0;
  bool first = true;
  for (const std::string& item : ListItems(true)) {
    if (!first && help.size() - line_start + 1 + item.size() > kHelpWidth) {
      help += "\n";
      line_start = help.size();
      help += std::string(kHelpLead.size(), ' ');
    } else if (!first) {
      help += " ";
    }
    help += item;
    first = false;
  }
  return help + "\n";
}

}  // namespace horatone
