// The web page's password; see web_password.h.
#include "ui/web/web_password.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "ui/web/web_front.h"
#include "shell/write_all.h"

namespace horatone {
namespace {

// Reads one line; on a terminal the typing is not shown.
std::string ReadSecretLine(std::istream& in, bool terminal) {
  termios saved{};
  const bool hide = terminal && ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (hide) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  std::getline(in, line);
  if (hide) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

Status WriteOwnedFile(const std::filesystem::path& path, const std::string& text, mode_t mode) {
  struct stat folder {};
  const bool give_away =
      ::geteuid() == 0 && ::stat(path.parent_path().c_str(), &folder) == 0 && folder.st_uid != 0;
  const std::string temp = path.string() + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Status::Error("cannot write " + temp + ": " + std::strerror(errno));
  bool good =
      (!give_away || ::fchown(fd, folder.st_uid, folder.st_gid) == 0) && ::fchmod(fd, mode) == 0;
  good = good && WriteAllAndSync(fd, text);
  const int error = errno;
  ::close(fd);
  if (!good || ::rename(temp.c_str(), path.c_str()) != 0) {
    const std::string why = std::strerror(good ? errno : error);
    ::unlink(temp.c_str());
    return Status::Error("cannot write " + path.string() + ": " + why);
  }
  return Status::Ok();
}

Result<std::string> HashWebPassword(const std::string& password) {
  char random[16];
  std::ifstream urandom("/dev/urandom", std::ios::binary);
  if (!urandom.read(random, sizeof random)) return Status::Error("cannot read /dev/urandom");
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (!::crypt_gensalt_rn("$y$", 0, random, sizeof random, salt, sizeof salt)) {
    return Status::Error(std::string("cannot make a salt: ") + std::strerror(errno));
  }
  crypt_data data{};
  const char* hashed = ::crypt_r(password.c_str(), salt, &data);
  if (!hashed || hashed[0] == '*') return Status::Error("libcrypt cannot hash the password");
  return std::string(hashed);
}

int WebPasswordCommand(const std::filesystem::path& root, std::istream& in, bool terminal,
                       std::ostream& err) {
  if (terminal) err << "New password for the web page: " << std::flush;
  const std::string password = ReadSecretLine(in, terminal);
  if (terminal) err << "\nAgain: " << std::flush;
  if (terminal && ReadSecretLine(in, terminal) != password) {
    err << "\nThe two passwords differ; nothing changed.\n";
    return 1;
  }
  if (terminal) err << "\n";
  if (password.size() < 8) {
    err << "A password needs at least 8 characters; nothing changed.\n";
    return 1;
  }
  if (password.find_first_not_of(" \t\v\f") == std::string::npos) {
    err << "A password of blanks only is no password; nothing changed.\n";
    return 1;
  }
  const Result<std::string> hash = HashWebPassword(password);
  Status done = hash.status();
  if (hash) done = WriteOwnedFile(WebPasswordFile(root), *hash + "\n", 0600);
  if (!done) {
    err << done.message << "\n";
    return 1;
  }
  err << "The web page's password is stored in " << WebPasswordFile(root).string()
      << "; a running clock uses it after its next start.\n";
  // The certificate a page open to the network is served with, made now if there is none, so
  // that its fingerprint can be compared with the browser's before the first login.
  const Result<WebCertificate> certificate = LoadWebCertificate(root, "", "");
  if (!certificate) {
    err << "No certificate for HTTPS: " << certificate.message() << "\n";
    return 0;
  }
  err << "Off this computer the page is served over HTTPS with " << certificate->file.string()
      << ";\nits SHA-256 fingerprint: " << certificate->fingerprint << "\n";
  return 0;
}

}  // namespace horatone
