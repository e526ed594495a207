// The clock's side of its web page: the `--web` address and the password file, the last log
// lines, and the start of the page's module with hooks that run everything through the
// window's dispatch on the loop.
#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "shell/status.h"
#include "ui/web/web_service.h"

namespace horatone {

class Form1;
class PosixLoop;
class SimulatedNode;

// The last lines of the clock's log, for the page. Safe from any thread.
class RecentLogLines {
 public:
  static constexpr std::size_t kKept = 50;
  void Add(const std::string& line);
  std::vector<std::string> Lines() const;

 private:
  mutable std::mutex mutex_;
  std::deque<std::string> lines_;
};

// "ADDR:PORT" (an IPv6 address in brackets).
Result<WebListen> ParseWebAddress(const std::string& text);

// The file that holds the page's password hash, in the system directory.
std::filesystem::path WebPasswordFile(const std::filesystem::path& root);

// The page's own certificate and key for HTTPS, in the system directory.
std::filesystem::path WebCertificateFile(const std::filesystem::path& root);
std::filesystem::path WebKeyFile(const std::filesystem::path& root);

// "http://ADDR:PORT/" on loopback, else "https://ADDR:PORT/".
std::string WebPageUrl(const std::string& address);

// Ok when the clock may start with `--web text` (and the operator's own certificate and key,
// when given); else why not: a bad address, one open to the network without a password, a
// password file or key that others may read, a certificate for a page that is not served
// over HTTPS.
Status WebStartProblem(const std::string& text, const std::filesystem::path& root,
                       const std::string& certificate_file = "", const std::string& key_file = "");

struct WebCertificate {
  std::filesystem::path file;
  std::string certificate_pem, key_pem;
  std::string fingerprint;  // SHA-256, colon-separated hex
};

// The operator's certificate and key when given, else the system directory's own, made
// (self-signed, the key mode 0600, both owned by the directory's owner) when neither exists.
Result<WebCertificate> LoadWebCertificate(const std::filesystem::path& root,
                                          const std::string& certificate_file,
                                          const std::string& key_file);

// What the page offers beyond the window's own controls: the simulated node's panel, when
// the node is the simulated one, and where the desktop's opener records the links the
// window's handlers hand it, for the page to open them in the operator's browser.
struct WebWindowParts {
  SimulatedNode* simulated = nullptr;
  std::vector<std::string>* links_opened = nullptr;
};

// Loads the page's module and starts it on `address`; or why not, when the module, the
// password file, the certificate or the address cannot be used. Off loopback the page is
// served over HTTPS and the certificate's fingerprint is logged. Stop it before `form` and
// `loop` end.
Result<std::unique_ptr<WebService>> StartWebPage(const std::string& address,
                                                 const std::string& certificate_file,
                                                 const std::string& key_file,
                                                 const std::filesystem::path& root, PosixLoop& loop,
                                                 Form1& form, const RecentLogLines& log_lines,
                                                 std::function<std::string()> node_state,
                                                 std::function<void(const std::string&)> log,
                                                 const WebWindowParts& parts = {});

}  // namespace horatone
