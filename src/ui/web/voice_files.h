// Changes to voice folders from outside the window: where a voice may be written, a clip put in
// the place of another once the clip decoder has read it (the old one kept beside it), and the
// voice generator that prepares a recorded clip or makes a whole voice.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "runtime/path_mapper.h"
#include "shell/status.h"

namespace horatone {

// The voice generator beside an installed binary (<prefix>/share/horatone/tools), else the one
// of the source tree this binary was built from.
std::filesystem::path FindVoiceGenerator();

// The folder of a voice, written as the operator writes it, on this system; refused (BadInput)
// unless it lies inside the system directory once every symbolic link is followed, is not the
// system directory itself and has no ".." in it. With `must_exist`, it must be a folder now.
Result<std::filesystem::path> VoiceFolderInRoot(const std::string& folder, const PathMapper& mapper,
                                                bool must_exist);

bool IsClipName(const std::string& name);

// A folder as written, ending in a separator as the clock's clip paths need: a backslash, or a
// slash for a folder written as a path of this system.
std::string WithSeparator(const std::string& folder);

// A clip offered for a voice: the file as sent, for the clip `name` of the voice in `folder`
// whose clips are `format` ("wav" or "mp3"). A recording (a WAV from the microphone) is trimmed
// and levelled by the voice generator, at the voice's loudness, before it goes in.
struct ClipOffer {
  std::string folder;
  std::string format;
  std::string name;
  std::string bytes;
  bool recording = false;
};

// Checks the offer with the clip decoder (it decodes, it is a voice's clip in length, the name is
// a clip name, a recording is not silent) and only then puts it in place of NAME.FORMAT, written
// under a temporary name and renamed over it; the file it replaces stays as NAME.FORMAT.bak
// (the last one replaced). The new file keeps the old one's owner, group and mode; a clip new to
// the folder takes the folder's owner and group. A refusal names the field that is wrong
// ("voice:", "name:", "file:", "recording:") and changes nothing. Ok: what was done, in words.
Result<std::string> PutClipInVoice(const ClipOffer& offer, const PathMapper& mapper);

// The name of the backup kept of a replaced clip.
std::filesystem::path ClipBackupOf(const std::filesystem::path& clip);

// Runs `argv` (argv[0] a path) to its end with standard input from /dev/null, and gives what it
// wrote on its standard output and error; an error with that text when it failed.
Result<std::string> RunToEnd(const std::vector<std::string>& argv);

}  // namespace horatone
