// `horatone say`: the announcement that the current settings would speak at a given time,
// rendered into one WAV file, for node programs that play files themselves. The window model
// runs in virtual time over the audio engine's virtual back end, so the file holds the very
// samples the clock would send on air.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

namespace horatone {

// args: the words after "say" (with any --root already taken out). Returns the exit code:
// 0 written, 1 the announcement or the file failed, 2 usage.
int SayCommand(const std::vector<std::string>& args, const std::filesystem::path& root,
               std::ostream& out, std::ostream& err);

}  // namespace horatone
