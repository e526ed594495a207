// The simulated node's panel on the web page, as the window's node panel offers it: send DTMF
// digits or a chat line to the clock, set the three busy flags, see the node's transmitter and
// the calls the clock made, close the node. Loop thread only, inside the window's dispatch.
#pragma once

#include <string>
#include <string_view>

#include "shell/web_window.h"

namespace horatone {

class Form1;
class SimulatedNode;

// The last calls the panel lists; a call repeating the one before counts up on its line.
inline constexpr std::size_t kPanelCalls = 40;

// "\"panel\":{...}": the busy flags, the transmitter and the last calls, each at its local time.
std::string NodePanelJson(SimulatedNode& node, Form1& form);

// "dtmf" (digits), "chat" (line), "busy" (flag 1 to 3, on 0 or 1) or "close". Bad input is
// refused with a message naming the field, and nothing is sent.
PageAnswer UseNodePanel(SimulatedNode& node, Form1& form, std::string_view action,
                        const PageValues& values);

}  // namespace horatone
