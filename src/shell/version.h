// The program's name and version as the window titles and the chat reply show them.
#pragma once

#include <string>

namespace horatone {

// "Horatone", four blanks, the node's info text, three blanks, "v", major.minor.revision.
std::string WindowTitle(const std::string& info_text);
// "Horatone", two blanks, "v", major.minor.revision.
std::string VersionReply();
// major.minor.revision.
std::string VersionNumber();

}  // namespace horatone
