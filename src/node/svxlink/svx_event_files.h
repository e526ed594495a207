// The two files the clock shares with the shipped Tcl handler in SvxLink, trusted the way
// SvxLink's own PTYs are, by who owns them: the FIFO the handler writes its reports into
// (--svx-events PATH), and beside it PATH.code, the clock's DTMF code for the handler to
// claim. Both belong to the user the clock runs as (which must be SvxLink's) and to nobody
// else: mode 0600, and anything else at the FIFO's path stops the clock from starting.
#pragma once

#include <string>
#include <string_view>

#include "shell/status.h"

namespace horatone {

std::string SvxCodeFilePath(const std::string& fifo);

// The FIFO at `path`, opened for reading (and for writing too, so that it never reads as
// ended while no handler has it open), non-blocking: made (0600) when nothing is there,
// reused when it is a FIFO of this user's that only this user may open. Anything else (a
// file, a link, another user's FIFO, a FIFO others may open) is refused, naming what is there.
Result<int> OpenSvxEventsFifo(const std::string& path);

// Replaces the code file at once, so that the handler reads the old code or the new one,
// never a part: a new file (0600) in the same folder, renamed over it.
Status WriteSvxCodeFile(const std::string& path, std::string_view code);

}  // namespace horatone
