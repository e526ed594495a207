// `horatone svxlink-setup`: puts the clock into a SvxLink — the values svxlink.conf needs
// (after a backup of the file), the Tcl handler linked into SvxLink's local event handlers,
// and the drop-in that starts the clock's service as SvxLink's user — or, with --check, lists
// what is missing or different and changes nothing.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace horatone {

// args: the words after "svxlink-setup"; root: the clock's system directory. Returns the exit
// code: 0 done (--check: nothing missing), 1 something missing (--check) or a file that could
// not be read, used or written, 2 usage.
int SvxLinkSetupCommand(const std::vector<std::string>& args, const std::string& root,
                        std::ostream& out, std::ostream& err);

}  // namespace horatone
