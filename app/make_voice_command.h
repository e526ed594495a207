// `horatone make-voice`: builds a voice folder with the voice generator (tools/make-voices,
// installed with the package), for a folder written as the operator writes it in the window.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "runtime/path_mapper.h"

namespace horatone {

// args: the words after "make-voice" (with any --root already taken out). Runs the generator in
// place of this process; returns only on a usage error (2) or when it cannot be started (1).
int MakeVoiceCommand(const std::vector<std::string>& args, const PathMapper& mapper,
                     std::ostream& err);

}  // namespace horatone
