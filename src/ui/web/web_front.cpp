// The clock's side of its web page; see web_front.h.
#include "ui/web/web_front.h"

#include <crypt.h>
#include <dlfcn.h>

#include <fstream>

#include "runtime/path_mapper.h"
#include "runtime/posix_loop.h"
#include "shell/form1.h"
#include "shell/parse_number.h"
#include "shell/web_form.h"
#include "sound/voice_check.h"

namespace horatone {
namespace {

// Compares without stopping at the first difference, so that the time taken tells nothing.
bool SameSecret(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= a[i] ^ b[i];
  return difference == 0;
}

// The module next to the program (the build tree), else in ../lib/horatone/ from it (where it
// is installed, under any prefix).
Result<WebStartFunction> LoadModule() {
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
    if (void* start = ::dlsym(module, kWebStartSymbol)) {
      return reinterpret_cast<WebStartFunction>(start);
    }
    return Status::Error(place.string() + " is not the web page's module");
  }
  return Status::NotFound(std::string(kWebModuleName) + " is not installed (looked in " +
                          places[0].parent_path().string() + " and " +
                          places[1].parent_path().string() + ")");
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

Status WebStartProblem(const std::string& text, const std::filesystem::path& root) {
  const Result<WebListen> listen = ParseWebAddress(text);
  if (!listen) return listen.status();
  std::error_code error;
  if (!listen->loopback && !std::filesystem::exists(WebPasswordFile(root), error)) {
    return Status::BadInput(
        "--web " + text +
        ": the page would be open to the network without a password; set one first with "
        "'horatone web-password --root " +
        root.string() + "', or bind to 127.0.0.1");
  }
  return Status::Ok();
}

Result<std::unique_ptr<WebService>> StartWebPage(const std::string& address,
                                                     const std::filesystem::path& root,
                                                     PosixLoop& loop, Form1& form,
                                                     const RecentLogLines& log_lines,
                                                     std::function<std::string()> node_state,
                                                     std::function<void(const std::string&)> log) {
  const Result<WebListen> listen = ParseWebAddress(address);
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
  const Result<WebStartFunction> start = LoadModule();
  if (!start) return start.status();

  WebHooks hooks;
  hooks.post_to_loop = [&loop](std::function<void()> task) { loop.Post(std::move(task)); };
  hooks.status = [&form, node_state](std::vector<std::pair<std::string, std::string>>* voices) {
    std::string members;
    form.Dispatch([&] {
      members = ClockStatusJson(form) + ",\"node\":" + JsonQuote(node_state());
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

  std::string problem;
  WebService* service = (*start)(*listen, std::move(hooks), &problem);
  if (!service) return Status::Unavailable("cannot listen on " + address + ": " + problem);
  return std::unique_ptr<WebService>(service);
}

}  // namespace horatone
