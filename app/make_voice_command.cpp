// `horatone make-voice`; see make_voice_command.h.
#include "make_voice_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <ostream>

#include "ui/web/voice_files.h"

namespace horatone {
namespace {

constexpr const char* kUsage =
    "usage: horatone make-voice FOLDER --language LANG [--engine ENGINE] [--format wav|mp3|both]\n"
    "       [--clips \"NAME...\"] [--say NAME \"TEXT\" | --callsign NAME CALL]\n";

}  // namespace

int MakeVoiceCommand(const std::vector<std::string>& args, const PathMapper& mapper,
                     std::ostream& err) {
  std::string folder;
  std::vector<std::string> options;
  bool has_language = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--language" || arg == "--engine" || arg == "--format" || arg == "--clips") {
      if (i + 1 >= args.size()) {
        err << arg << " needs a value\n" << kUsage;
        return 2;
      }
      has_language = has_language || arg == "--language";
      options.push_back(arg);
      options.push_back(args[++i]);
    } else if (arg == "--say" || arg == "--callsign") {
      // One clip of the folder: a message saying TEXT, or an identification spelling CALL.
      if (i + 2 >= args.size()) {
        err << arg << " needs a clip name and " << (arg == "--say" ? "a text" : "a callsign")
            << "\n" << kUsage;
        return 2;
      }
      options.insert(options.end(), {arg, args[i + 1], args[i + 2]});
      i += 2;
    } else if (folder.empty() && !arg.starts_with("--")) {
      folder = arg;
    } else {
      err << "unexpected '" << arg << "'\n" << kUsage;
      return 2;
    }
  }
  if (folder.empty() || !has_language) {
    err << kUsage;
    return 2;
  }
  if (folder.back() != '\\' && folder.back() != '/') folder += '\\';

  const std::filesystem::path generator = FindVoiceGenerator();
  std::vector<std::string> words{generator.string(), "--out", mapper.Map(folder).string()};
  words.insert(words.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  execv(generator.c_str(), argv.data());
  err << "horatone: cannot run the voice generator " << generator << ": " << std::strerror(errno)
      << "\n";
  return 1;
}

}  // namespace horatone
