// Writes pictures of the window to a folder, for looking at the layout: the three tabs, the
// Details panel, the About window and the node panel. Runs on the offscreen platform, with
// the model in virtual time, so the pictures are the same on every run.
#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <cstdio>

#include "ui/qt/about_window.h"
#include "ui/qt/main_window.h"
#include "ui/qt/node_panel.h"
#include "test_support/fakes.h"

int main(int argc, char** argv) {
  using namespace horatone;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const QDir out(argc > 1 ? argv[1] : "screenshots");
  if (!QDir().mkpath(out.path())) {
    std::fprintf(stderr, "cannot make the folder %s\n", qPrintable(out.path()));
    return 1;
  }
  Harness h;
  h.media.AddVoice("C:\\Program Files\\Horatone\\", ".wav", 0.5);
  Form1& form = h.Start();
  form.Text5.set_text("C:\\HoraVoice\\M\\");
  h.loop.AdvanceBy(1100);
  MainWindow window(form, {&h.node,
                           [](const std::string& folder, bool mp3) {
                             if (folder.empty()) return std::string();
                             return std::string(mp3 ? "mp3: " : "wav: ") + "all 72 clips found";
                           },
                           {}});
  window.show();
  int failures = 0;
  auto save = [&](QWidget* widget, const char* name) {
    QApplication::processEvents();
    const QString path = out.filePath(name);
    if (!widget->grab().save(path)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
      ++failures;
    }
  };
  const char* tabs[] = {"setup.png", "audio_files.png", "language.png"};
  for (int tab = 0; tab < 3; ++tab) {
    window.tabs()->setCurrentIndex(tab);
    save(&window, tabs[tab]);
  }
  window.tabs()->setCurrentIndex(0);
  form.Command29.Click();
  h.loop.AdvanceBy(300);
  window.SetDetailsShown(true);
  save(&window, "details.png");
  window.tabs()->setCurrentIndex(1);
  save(&window, "details_audio_files.png");
  form.Command2.Click();
  save(window.about(), "about.png");
  window.ShowNodePanel();
  save(window.node_panel(), "node_panel.png");
  std::printf("pictures in %s\n", qPrintable(out.absolutePath()));
  return failures == 0 ? 0 : 1;
}
