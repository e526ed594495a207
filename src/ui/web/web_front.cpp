// The clock's side of its web page; see web_front.h.
#include "ui/web/web_front.h"

#include <crypt.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "runtime/path_mapper.h"
#include "runtime/posix_loop.h"
#include "shell/form1.h"
#include "shell/parse_number.h"
#include "shell/web_form.h"
#include "shell/web_window.h"
#include "sound/voice_check.h"
#include "ui/web/web_node.h"
#include "ui/web/web_password.h"
#include "ui/web/web_voice_front.h"

namespace horatone {
namespace {

// Compares without stopping at the first difference, so that the time taken tells nothing.
bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= a[i] ^ b[i];
  return difference == 0;
}

struct WebModule {
  WebStartFunction start = nullptr;
  WebMakeCertificateFunction make_certificate = nullptr;
  WebFingerprintFunction fingerprint = nullptr;
};

// The module next to the program (the build tree), else in ../lib/horatone/ from it (where it
// is installed, under any prefix).
Result<WebModule> LoadModule() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return Status::Error("cannot find the program's own folder: " + error.message());
  const std::vector<std::filesystem::path> places = {
      self.parent_path() / kWebModuleName,
      self.parent_path().parent_path() / "lib" / "horatone" / kWebModuleName};
  for (const auto& place : places) {
    if (!std::filesystem::exists(place, error)) continue;
    // Never closed: its threads and statics live until the program ends.
    void* module = ::dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) return Status::Error(::dlerror());
    WebModule found;
    found.start = reinterpret_cast<WebStartFunction>(::dlsym(module, kWebStartSymbol));
    found.make_certificate =
        reinterpret_cast<WebMakeCertificateFunction>(::dlsym(module, kWebMakeCertificateSymbol));
    found.fingerprint =
        reinterpret_cast<WebFingerprintFunction>(::dlsym(module, kWebFingerprintSymbol));
    if (found.start && found.make_certificate && found.fingerprint) return found;
    return Status::Error(place.string() + " is not the web page's module");
  }
  return Status::NotFound(std::string(kWebModuleName) + " is not installed (looked in " +
                          places[0].parent_path().string() + " and " +
                          places[1].parent_path().string() + ")");
}

// Why a secret file may not be used: others may read it or change it (`allowed` are the
// permission bits it may have beyond its owner's).
Status SecretFileProblem(const std::filesystem::path& path, mode_t allowed) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return Status::Error("cannot read " + path.string() + ": " + std::strerror(errno));
  }
  const mode_t others = info.st_mode & 077 & ~allowed;
  if (others == 0) return Status::Ok();
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return Status::BadInput(path.string() + " may be read or changed by others (mode " + mode +
                          "); make it private with 'chmod 600 " + path.string() + "'");
}

Result<std::string> ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) return Status::Error("cannot read " + path.string());
  return text.str();
}

}  // namespace

void RecentLogLines::Add(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(line);
  if (lines_.size() > kKept) lines_.pop_front();
}

std::vector<std::string> RecentLogLines::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {lines_.begin(), lines_.end()};
}

Result<WebListen> ParseWebAddress(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    return Status::BadInput("--web needs ADDR:PORT, for example 127.0.0.1:8073");
  }
  WebListen listen;
  listen.host = text.substr(0, colon);
  if (listen.host.size() > 2 && listen.host.front() == '[' && listen.host.back() == ']') {
    listen.host = listen.host.substr(1, listen.host.size() - 2);
  }
  const std::string port = text.substr(colon + 1);
  const Result<int> number = ParseNumber(port, 1, 65535);
  if (!number) return Status::BadInput("--web: \"" + port + "\" is not a port number (1 to 65535)");
  listen.port = *number;
  listen.loopback =
      listen.host == "localhost" || listen.host == "::1" || listen.host.rfind("127.", 0) == 0;
  return listen;
}

std::filesystem::path WebPasswordFile(const std::filesystem::path& root) {
  return root / "horatone-web.passwd";
}

std::filesystem::path WebCertificateFile(const std::filesystem::path& root) {
  return root / "horatone-web.crt";
}

std::filesystem::path WebKeyFile(const std::filesystem::path& root) {
  return root / "horatone-web.key";
}

std::string WebPageUrl(const std::string& address) {
  const Result<WebListen> listen = ParseWebAddress(address);
  return std::string(listen && listen->loopback ? "http" : "https") + "://" + address + "/";
}

Status WebStartProblem(const std::string& text, const std::filesystem::path& root,
                       const std::string& certificate_file, const std::string& key_file) {
  const Result<WebListen> listen = ParseWebAddress(text);
  if (!listen) return listen.status();
  if (certificate_file.empty() != key_file.empty()) {
    return Status::BadInput("--web-cert and --web-key go together");
  }
  if (!certificate_file.empty() && listen->loopback) {
    return Status::BadInput("--web-cert: a page on loopback is served over plain HTTP");
  }
  std::error_code error;
  if (std::filesystem::exists(WebPasswordFile(root), error)) {
    if (Status problem = SecretFileProblem(WebPasswordFile(root), 0); !problem) return problem;
  }
  if (!key_file.empty()) {
    // A key the operator keeps elsewhere may be shared with a group (ssl-cert), not with all.
    if (Status problem = SecretFileProblem(key_file, 070); !problem) return problem;
  } else if (!listen->loopback && std::filesystem::exists(WebKeyFile(root), error)) {
    if (Status problem = SecretFileProblem(WebKeyFile(root), 0); !problem) return problem;
  }
  if (!listen->loopback && !std::filesystem::exists(WebPasswordFile(root), error)) {
    return Status::BadInput(
        "--web " + text +
        ": the page would be open to the network without a password; set one first with "
        "'horatone web-password --root " +
        root.string() + "', or bind to 127.0.0.1");
  }
  return Status::Ok();
}

Result<WebCertificate> LoadWebCertificate(const std::filesystem::path& root,
                                          const std::string& certificate_file,
                                          const std::string& key_file) {
  const Result<WebModule> module = LoadModule();
  if (!module) return module.status();
  WebCertificate found;
  found.file =
      certificate_file.empty() ? WebCertificateFile(root) : std::filesystem::path(certificate_file);
  const std::filesystem::path key =
      key_file.empty() ? WebKeyFile(root) : std::filesystem::path(key_file);
  std::error_code error;
  const bool has_certificate = std::filesystem::exists(found.file, error);
  const bool has_key = std::filesystem::exists(key, error);
  if (!certificate_file.empty() || has_certificate || has_key) {
    if (!has_certificate || !has_key) {
      return Status::NotFound((has_certificate ? key : found.file).string() + " is missing" +
                              (certificate_file.empty()
                                   ? "; remove " + (has_certificate ? found.file : key).string() +
                                         " to have both made again"
                                   : ""));
    }
  } else {
    char host[256] = "horatone";
    if (::gethostname(host, sizeof host - 1) != 0) std::snprintf(host, sizeof host, "horatone");
    std::string why;
    if (!module->make_certificate(host, &found.certificate_pem, &found.key_pem, &why)) {
      return Status::Error("cannot make a certificate: " + why);
    }
    if (Status written = WriteOwnedFile(key, found.key_pem, 0600); !written) return written;
    if (Status written = WriteOwnedFile(found.file, found.certificate_pem, 0644); !written) {
      return written;
    }
  }
  Result<std::string> text = ReadWhole(found.file);
  if (!text) return text.status();
  found.certificate_pem = std::move(*text);
  text = ReadWhole(key);
  if (!text) return text.status();
  found.key_pem = std::move(*text);
  std::string why;
  if (!module->fingerprint(found.certificate_pem, &found.fingerprint, &why)) {
    return Status::BadInput(found.file.string() + ": " + why);
  }
  return found;
}

Result<std::unique_ptr<WebService>> StartWebPage(const std::string& address,
                                                 const std::string& certificate_file,
                                                 const std::string& key_file,
                                                 const std::filesystem::path& root, PosixLoop& loop,
                                                 Form1& form, const RecentLogLines& log_lines,
                                                 std::function<std::string()> node_state,
                                                 std::function<void(const std::string&)> log,
                                                 const WebWindowParts& parts) {
  if (Status problem = WebStartProblem(address, root, certificate_file, key_file); !problem) {
    return problem;
  }
  Result<WebListen> listen = ParseWebAddress(address);
  if (!listen) return listen.status();
  std::string hash;
  const std::filesystem::path password_file = WebPasswordFile(root);
  std::error_code error;
  if (std::filesystem::exists(password_file, error)) {
    std::ifstream in(password_file);
    std::getline(in, hash);
    if (!in || hash.empty() || hash[0] != '$') {
      return Status::Error(password_file.string() + " cannot be read or holds no password hash");
    }
  } else if (!listen->loopback) {
    return Status::BadInput("no password for a page open to the network");
  }
  const Result<WebModule> module = LoadModule();
  if (!module) return module.status();
  if (!listen->loopback) {
    Result<WebCertificate> certificate = LoadWebCertificate(root, certificate_file, key_file);
    if (!certificate) return certificate.status();
    listen->certificate_pem = std::move(certificate->certificate_pem);
    listen->key_pem = std::move(certificate->key_pem);
    log("web page: HTTPS with " + certificate->file.string() + ", SHA-256 fingerprint " +
        certificate->fingerprint);
  }

  WebHooks hooks;
  hooks.post_to_loop = [&loop](std::function<void()> task) { loop.Post(std::move(task)); };
  hooks.status = [&form, node_state, parts](
                     std::vector<std::pair<std::string, std::string>>* voices) {
    std::string members;
    form.Dispatch([&] {
      members = ClockStatusJson(form) + ",\"node\":" + JsonQuote(node_state()) + "," +
                WindowStatusJson(form) + "," +
                (parts.simulated ? NodePanelJson(*parts.simulated, form) : "\"panel\":null");
      for (const VoiceSlot& slot : form.voice_slots()) {
        voices->emplace_back(slot.folder->text(), slot.wav->value() ? "wav" : "mp3");
      }
    });
    return members;
  };
  hooks.settings = [&form] {
    std::string json;
    form.Dispatch([&] { json = SettingsFormJson(form); });
    return json;
  };
  hooks.save = [&form](const std::string& base,
                       const std::vector<std::pair<std::string, std::string>>& values,
                       int* status) {
    if (form.ended()) return std::string();
    const FormOutcome outcome = ApplySettingsForm(form, base, values);
    *status = outcome.saved ? 200 : outcome.stale ? 409 : 422;
    return FormOutcomeJson(outcome);
  };
  hooks.use = [&form, parts](const std::string& path,
                             const std::vector<std::pair<std::string, std::string>>& values,
                             int* status) {
    PageAnswer answer = PageMessage(404, path + " is not a use the page offers");
    if (path.rfind("window/", 0) == 0) {
      answer = UseWindowControl(form, std::string_view(path).substr(7), values,
                                parts.links_opened);
    } else if (path.rfind("node/", 0) == 0) {
      answer = parts.simulated ? UseNodePanel(*parts.simulated, form,
                                              std::string_view(path).substr(5), values)
                               : PageMessage(404, "the node is not the simulated one");
    }
    *status = answer.status;
    return answer.json;
  };
  hooks.say = [&form] { form.Dispatch([&] { form.Command29_Click(); }); };
  hooks.play = [&form] { form.Dispatch([&] { form.Command1_Click(); }); };
  hooks.log = std::move(log);
  hooks.voice_verdict = [root](const std::string& folder, const std::string& format) {
    const VoiceCheckResult result = CheckVoiceFolder(folder, format, PathMapper(root));
    if (!result.Complete()) {
      return std::to_string(result.missing.size()) + " clips missing, " +
             std::to_string(result.unreadable.size()) + " unreadable";
    }
    const int problems = result.ClipsWithProblems();
    return problems > 0 ? "complete, " + std::to_string(problems) + " clips to improve"
                        : std::string("complete");
  };
  hooks.has_password = !hash.empty();
  hooks.password_matches = [hash](const std::string& password) {
    crypt_data data{};
    const char* hashed = ::crypt_r(password.c_str(), hash.c_str(), &data);
    return hashed && hashed[0] != '*' && SameSecret(hashed, hash);
  };
  hooks.log_lines = [&log_lines] { return log_lines.Lines(); };
  hooks.longest_form = LongestSettingsForm();
  AddWebVoiceHooks(hooks.voice, root, loop, form);

  std::string problem;
  WebService* service = module->start(*listen, std::move(hooks), &problem);
  if (!service) return Status::Unavailable("cannot listen on " + address + ": " + problem);
  return std::unique_ptr<WebService>(service);
}

}  // namespace horatone
