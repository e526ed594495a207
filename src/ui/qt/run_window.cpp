#include "ui/qt/run_window.h"

#include <QApplication>
#include <QTimer>
#include <memory>

#include "runtime/desktop_opener.h"
#include "runtime/ini_profile_file.h"
#include "runtime/path_mapper.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_services.h"
#include "node/simulated/simulated_node.h"
#include "runtime/system_clock.h"
#include "shell/form1.h"
#include "shell/texts.h"

namespace horatone {

int RunWindow(int argc, char** argv, const WindowOptions& options) {
  QApplication app(argc, argv);
  // Only the program's own ways out end it, not the last window closing.
  app.setQuitOnLastWindowClosed(false);
  app.setApplicationName(
      QString::fromUtf8(texts::kProductName.data(), static_cast<int>(texts::kProductName.size())));

  QtTimerService timers;
  std::unique_ptr<SystemClock> clock = options.start_at
                                           ? std::make_unique<SystemClock>(*options.start_at)
                                           : std::make_unique<SystemClock>();
  PathMapper mapper(options.system_dir);
  IniProfileFile profile(mapper, std::string(texts::kSettingsFile));
  SimulatedNode simulated(timers);
  NodeFactory& nodes = options.nodes ? *options.nodes : simulated;
  QtDialogs dialogs;
  DesktopOpener opener(timers);
  QtProgramEnd end;

  Form1 form({timers, *clock, options.media, nodes, profile, dialogs, opener, end});
  struct Finished {
    const std::function<void()>& hook;
    ~Finished() {
      if (hook) hook();
    }
  } finished{options.on_finished};
  if (options.on_started) options.on_started(form);
  if (!form.Load()) {
    // Ended during start-up: a failure when no node object could be made, otherwise one of
    // the ordinary ways out (the node closing while a start-up message was open).
    return form.echolink() ? 0 : 1;
  }

  MainWindow window(
      form, {options.nodes ? nullptr : &simulated, options.voice_status, options.generator});
  dialogs.set_parent(&window);
  window.show();
  QTimer::singleShot(0, &window, [&window] { window.OfferVoiceGenerator(); });
  app.exec();
  return 0;
}

}  // namespace horatone
