#include "shell/version.h"

#include "shell/texts.h"

namespace horatone {

std::string VersionNumber() {
  return std::to_string(texts::kVersionMajor) + "." + std::to_string(texts::kVersionMinor) + "." +
         std::to_string(texts::kVersionRevision);
}

std::string WindowTitle(const std::string& info_text) {
  return std::string(texts::kProductName) + "    " + info_text + "   v" + VersionNumber();
}

std::string VersionReply() {
  return std::string(texts::kProductName) + " " + " v" + VersionNumber();
}

}  // namespace horatone
