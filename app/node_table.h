// The node programs the clock runs on, in one table: the name --node takes, its words in the
// help, and how the headless clock opens it. The help and the usage messages are drawn from it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "echolink/echolink_object.h"
#include "headless.h"
#include "shell/status.h"

namespace horatone {

class AudioEngine;
class PosixLoop;
class SimulatedNode;
class ProfileStore;

// What opening a node may use; all of it outlives the node.
struct NodeContext {
  const HeadlessOptions& options;
  PosixLoop& loop;
  ProfileStore& profile;
  AudioEngine& sound;
  std::function<void(const std::string&)> log;
  // Ends the announcement under way, because the node cannot put it on the air.
  std::function<void(const std::string&)> abandon;
};

struct OpenedNode {
  std::unique_ptr<NodeFactory> nodes;
  std::function<bool()> connected;  // for the web page
  SimulatedNode* simulated = nullptr;  // the simulated node, for the page's node panel
  int busy_wait_seconds = 0;
  bool waits_for_sound = false;  // the node holds its own release until the sound has played
  // For a node that must know the clock's DTMF code ahead: told it at start and on each change.
  std::function<void(const std::string&)> clock_code;
  // What the page's node line says after "connected", for a node that names itself there.
  std::function<std::string()> info;
};

struct NodeChoice {
  std::string_view name;  // as --node takes it; "listen:" and "unix:" take more after them
  std::string_view shown;  // as the help and the usage messages name it
  std::string_view help;   // said after it in the help, or nothing
  // The failure's message is the whole log line.
  Result<OpenedNode> (*open)(const NodeContext& context);
};

// The node --node names, or nullptr.
const NodeChoice* FindNodeChoice(std::string_view node);
// "sim, stdio, listen:PORT, unix:PATH, rig or svxlink".
std::string NodeNames();
// The help's lines for --node.
std::string NodeOptionHelp();

}  // namespace horatone
