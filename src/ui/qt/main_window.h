// The desktop face of Form1: the three tabs, the buttons below them, the Details panel with
// the controls that lie beyond the designed right edge, and the windows opened from here
// (About, node panel). Every widget is bound to its model control; the view keeps no state
// of its own. Geometry is designed in twips and converted at the screen's real DPI.
#pragma once

#include <QMainWindow>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/qt/bindings.h"

class QAction;
class QLabel;
class QLineEdit;
class QProcess;
class QPushButton;
class QTabWidget;

namespace horatone {

class AboutWindow;
class Form1;
class Form14;
class NodePanel;
class ScheduleDialog;
class SimulatedNode;

// The voice generator: a program that makes the ready-made voices under the system directory.
struct VoiceGenerator {
  // The program and its arguments; nothing is offered without one.
  std::vector<std::string> command;
  // The folder on disk it makes the voices in, as the operator is told.
  std::string folder;
  // Whether the active voice lacks clips, so that the window offers the generator at start.
  std::function<bool()> voices_missing;
};

struct ViewOptions {
  // The simulated node, when it is the one in use: the node panel shows its face.
  SimulatedNode* node = nullptr;
  // What to show beside a voice folder for a folder text and format (true: mp3); called
  // whenever either changes. Nothing is shown without it.
  std::function<std::string(const std::string& folder, bool mp3)> voice_status;
  VoiceGenerator generator;
};

class MainWindow : public QMainWindow {
 public:
  // Width of the Details panel, twips.
  static constexpr int kDetailsWidth = 3900;

  MainWindow(Form1& form, ViewOptions options);
  ~MainWindow() override;

  int TwipsToPixels(double twips) const;
  void SetDetailsShown(bool shown);
  bool details_shown() const;
  void ShowNodePanel();
  // Asks whether to make the voices, when the active one lacks clips and a generator is known.
  void OfferVoiceGenerator();
  // Starts the voice generator without waiting; the Audio Files tab shows how it went.
  void MakeVoices();
  bool making_voices() const;

  QTabWidget* tabs() const { return tabs_; }
  // The widget bound to the model control called `name` ("Command29", "Text27"), for tests
  // and screenshots; the About window's and node panel's own widgets are not listed.
  QWidget* Find(const std::string& name) const;
  AboutWindow* about() const { return about_.get(); }
  NodePanel* node_panel() const { return node_panel_.get(); }
  // The schedule dialog of the View menu, made when first opened.
  void ShowScheduleDialog();
  ScheduleDialog* schedule_dialog() const { return schedule_dialog_.get(); }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QWidget* BuildSetupTab();
  QWidget* BuildAudioFilesTab();
  QWidget* BuildLanguageTab();
  QWidget* BuildButtonRow();
  QWidget* BuildDetails();
  void BuildMenu();
  void FitWindow();
  void FollowAboutWindow(Form14& about);
  void RefreshVoiceStatus(size_t slot);
  // Names the widget after its control and returns it.
  template <typename W>
  W* Named(W* widget, const std::string& name);

  Form1& form_;
  ViewOptions options_;
  Bindings bind_;
  double dpi_ = 96;   // the screen's, times the desktop type's scale
  double scale_ = 1;  // the desktop type's size against the one designed for
  QTabWidget* tabs_ = nullptr;
  QWidget* client_ = nullptr;
  QWidget* details_ = nullptr;
  QAction* details_action_ = nullptr;
  std::array<QLabel*, 5> voice_status_{};
  std::array<QLineEdit*, 5> voice_folders_{};
  std::array<QPushButton*, 5> default_buttons_{};
  QPushButton* make_voices_ = nullptr;
  QLabel* generator_status_ = nullptr;
  QProcess* generator_ = nullptr;
  std::unique_ptr<AboutWindow> about_;
  std::unique_ptr<NodePanel> node_panel_;
  std::unique_ptr<ScheduleDialog> schedule_dialog_;
};

}  // namespace horatone
