#include "ui/qt/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "about/form14.h"
#include "ui/qt/about_window.h"
#include "ui/qt/fitted_caption.h"
#include "ui/qt/node_panel.h"
#include "ui/qt/schedule_dialog.h"
#include "ui/qt/qt_services.h"
#include "shell/form1.h"
#include "shell/texts.h"

namespace horatone {
namespace {

// The window's type size, as designed: small enough for the designed client area.
constexpr qreal kWindowPointSize = 8;
// The clock display's.
constexpr qreal kClockPointSize = 13.5;
// The desktop type size the design is drawn for (Qt's own default). A desktop set to a larger
// type scales the design, its geometry included, by the same factor, as QT_SCALE_FACTOR does;
// within limits, so that a strange setting cannot make the window unusable.
constexpr qreal kDesktopPointSize = 9;
constexpr qreal kSmallestScale = 0.75;
constexpr qreal kLargestScale = 4;

qreal DesktopFontScale() {
  const qreal desktop = QApplication::font().pointSizeF();
  if (desktop <= 0) return 1;  // a font sized in pixels: nothing to go by
  return std::clamp(desktop / kDesktopPointSize, kSmallestScale, kLargestScale);
}
// Small and large steps of the bars (an arrow click, a click in the track).
struct Steps {
  int single, page;
};
constexpr Steps kVolumeSteps{50, 500};
constexpr Steps kSpeedSteps{5, 20};
constexpr Steps kBalanceSteps{100, 1000};
constexpr Steps kPositionSteps{1, 5};

QString Q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

void Tight(QLayout* layout, int margin = 4, int spacing = 2) {
  layout->setContentsMargins(margin, margin, margin, margin);
  layout->setSpacing(spacing);
}

QLabel* FixedLabel(std::string_view text,
                   Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter) {
  auto* label = new QLabel(Q(text));
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(alignment);
  return label;
}

// The olive caption is the frame's alone: a control inside keeps the window's text colour.
void KeepOwnTextColour(QWidget* widget) {
  QPalette palette = widget->palette();
  for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::ButtonText}) {
    palette.setColor(role, QApplication::palette().color(role));
  }
  widget->setPalette(palette);
}

// Steps, and the keyboard: a bar takes focus with Tab and moves with the arrow keys.
void SetSteps(QScrollBar* bar, Steps steps) {
  bar->setSingleStep(steps.single);
  bar->setPageStep(steps.page);
  bar->setFocusPolicy(Qt::StrongFocus);
  // A scroll bar's keys run the way its wheel does, which turns Left into a step up on a
  // horizontal bar; here Left lowers the value, as the thumb moves.
  if (bar->orientation() == Qt::Horizontal) bar->setInvertedControls(false);
  // The light style draws a light thumb on a grey track, which reads as a thumb at the other
  // end; here the thumb is the dark part, and the arrows are Qt's own.
  bar->setStyleSheet(
      "QScrollBar{background:palette(base);border:1px solid palette(mid);}"
      "QScrollBar:horizontal{height:17px;margin:0 17px;}"
      "QScrollBar:vertical{width:17px;margin:17px 0;}"
      "QScrollBar::handle{background:palette(dark);border-radius:2px;}"
      "QScrollBar::handle:horizontal{min-width:16px;}"
      "QScrollBar::handle:vertical{min-height:16px;}"
      "QScrollBar::add-line,QScrollBar::sub-line{background:palette(button);"
      "border:1px solid palette(mid);subcontrol-origin:margin;}"
      "QScrollBar::add-line:horizontal{width:16px;subcontrol-position:right;}"
      "QScrollBar::sub-line:horizontal{width:16px;subcontrol-position:left;}"
      "QScrollBar::add-line:vertical{height:16px;subcontrol-position:bottom;}"
      "QScrollBar::sub-line:vertical{height:16px;subcontrol-position:top;}"
      "QScrollBar::left-arrow{image:url(:/qt-project.org/styles/commonstyle/images/left-16.png);"
      "width:10px;height:10px;}"
      "QScrollBar::right-arrow{image:url(:/qt-project.org/styles/commonstyle/images/right-16.png);"
      "width:10px;height:10px;}"
      "QScrollBar::up-arrow{image:url(:/qt-project.org/styles/commonstyle/images/up-16.png);"
      "width:10px;height:10px;}"
      "QScrollBar::down-arrow{image:url(:/qt-project.org/styles/commonstyle/images/down-16.png);"
      "width:10px;height:10px;}");
}

}  // namespace

template <typename W>
W* MainWindow::Named(W* widget, const std::string& name) {
  widget->setObjectName(QString::fromStdString(name));
  return widget;
}

MainWindow::MainWindow(Form1& form, ViewOptions options)
    : QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                               Qt::WindowCloseButtonHint),
      form_(form),
      options_(std::move(options)) {
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    dpi_ = screen->logicalDotsPerInchX();
  scale_ = DesktopFontScale();
  dpi_ *= scale_;
  QFont font = this->font();
  font.setPointSizeF(kWindowPointSize * scale_);
  setFont(font);
  setWindowTitle(QString::fromStdString(form_.caption));

  client_ = new QWidget;
  auto* row = new QHBoxLayout(client_);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);

  auto* designed = new QWidget;
  designed->setFixedSize(TwipsToPixels(Form1::kClientWidth), TwipsToPixels(Form1::kClientHeight));
  auto* column = new QVBoxLayout(designed);
  Tight(column, 3, 3);
  tabs_ = Named(new QTabWidget, "SSTab1");
  tabs_->addTab(BuildSetupTab(), Q(texts::kTabSetup));
  tabs_->addTab(BuildAudioFilesTab(), Q(texts::kTabAudioFiles));
  tabs_->addTab(BuildLanguageTab(), Q(texts::kTabLanguage));
  tabs_->setCurrentIndex(0);
  column->addWidget(tabs_, 1);
  column->addWidget(BuildButtonRow());
  row->addWidget(designed);

  details_ = BuildDetails();
  details_->setFixedSize(TwipsToPixels(kDetailsWidth), TwipsToPixels(Form1::kClientHeight));
  details_->hide();
  row->addWidget(details_);
  setCentralWidget(client_);
  BuildMenu();
  SetDetailsShown(false);

  form_.on_about_window_made = [this](Form14& about) { FollowAboutWindow(about); };
  form_.on_caption_changed = [this] { setWindowTitle(QString::fromStdString(form_.caption)); };
  if (Form14* about = form_.about_window()) FollowAboutWindow(*about);

  move(TwipsToPixels(form_.left), TwipsToPixels(form_.top));
}

MainWindow::~MainWindow() {
  form_.on_about_window_made = nullptr;
  form_.on_caption_changed = nullptr;
  if (Form14* about = form_.about_window()) about->on_visibility_changed = nullptr;
}

int MainWindow::TwipsToPixels(double twips) const { return qRound(twips * dpi_ / 1440.0); }

QWidget* MainWindow::Find(const std::string& name) const {
  return findChild<QWidget*>(QString::fromStdString(name));
}

QWidget* MainWindow::BuildSetupTab() {
  auto* page = new QWidget;
  auto* rows = new QVBoxLayout(page);
  Tight(rows, 4, 3);
  auto* top = new QHBoxLayout;
  auto* middle = new QHBoxLayout;
  rows->addLayout(top, 1);
  rows->addLayout(middle);

  // Time and Voice: which announcements run, 12 or 24 hours, and the voices beside them.
  auto* frame1 = Named(new QGroupBox, "Frame1");
  bind_.Frame(form_.Frame1, frame1);
  auto* frame1_layout = new QHBoxLayout(frame1);
  Tight(frame1_layout);
  auto* when = new QVBoxLayout;
  when->setSpacing(0);
  for (CheckBox* box : {&form_.OnHour, &form_.QuarterHour, &form_.HalfHour}) {
    auto* widget = Named(new FittedCheckBox, box->name());
    bind_.Check(*box, widget);
    when->addWidget(widget);
  }
  when->addSpacing(4);
  for (OptionButton* option : {&form_.Option1, &form_.Option2}) {
    auto* widget = Named(new FittedRadioButton, option->name());
    bind_.Option(*option, widget);
    when->addWidget(widget);
  }
  when->addStretch();
  frame1_layout->addLayout(when);
  auto* frame18 = Named(new QGroupBox, "Frame18");
  bind_.Frame(form_.Frame18, frame18);
  auto* voices = new QVBoxLayout(frame18);
  Tight(voices, 3, 0);
  for (const VoiceSlot& slot : form_.voice_slots()) {
    auto* widget = Named(new FittedRadioButton, slot.select->name());
    bind_.Option(*slot.select, widget);
    voices->addWidget(widget);
  }
  frame1_layout->addWidget(frame18);
  top->addWidget(frame1);

  // The clock display with the node's transmit state and the "Say The Time" button.
  auto* clock = new QVBoxLayout;
  clock->setSpacing(1);
  auto* label7 = Named(new QLabel, "Label7");
  bind_.Label(form_.Label7, label7);
  label7->setAlignment(Qt::AlignCenter);
  clock->addWidget(label7);
  auto* show_the_time = Named(new QLabel, "ShowTheTime");
  QFont clock_font = show_the_time->font();
  clock_font.setPointSizeF(kClockPointSize * scale_);
  show_the_time->setFont(clock_font);
  show_the_time->setAlignment(Qt::AlignCenter);
  // A fixed size: the clock changes every second, and a label that may change size makes the
  // whole tab lay itself out and repaint each time.
  const QFontMetrics clock_metrics(clock_font);
  show_the_time->setFixedSize(clock_metrics.horizontalAdvance(QStringLiteral("00:00:00 ")),
                              clock_metrics.height());
  bind_.Label(form_.ShowTheTime, show_the_time);
  clock->addWidget(show_the_time);
  auto* ptt2 = Named(new QLabel, "PTT2");
  QFont bold = ptt2->font();
  bold.setBold(true);
  ptt2->setFont(bold);
  ptt2->setAlignment(Qt::AlignCenter);
  bind_.Label(form_.PTT2, ptt2);
  clock->addWidget(ptt2);
  auto* say = Named(new FittedPushButton, "Command29");
  bind_.Button(form_.Command29, say);
  clock->addWidget(say);
  clock->addStretch();
  top->addLayout(clock);

  // Also Add: the additions and the lead-in choice.
  auto* frame16 = Named(new QGroupBox, "Frame16");
  bind_.Frame(form_.Frame16, frame16);
  auto* also = new QVBoxLayout(frame16);
  Tight(also, 4, 0);
  for (CheckBox* box : {&form_.AMPM, &form_.Check1, &form_.Check2}) {
    auto* widget = Named(new FittedCheckBox, box->name());
    bind_.Check(*box, widget);
    also->addWidget(widget);
  }
  auto* lead_in = new QHBoxLayout;
  for (OptionButton* option : {&form_.Option5, &form_.Option6, &form_.Option9}) {
    auto* widget = Named(new FittedRadioButton, option->name());
    bind_.Option(*option, widget);
    lead_in->addWidget(widget);
  }
  lead_in->addStretch();
  also->addLayout(lead_in);
  also->addStretch();
  top->addWidget(frame16, 1);

  // Volume, with its scale.
  auto* frame11 = Named(new QGroupBox, "Frame11");
  bind_.Frame(form_.Frame11, frame11);
  auto* volume = new QGridLayout(frame11);
  Tight(volume, 4, 1);
  auto* v1 = Named(new QScrollBar(Qt::Horizontal), "V1");
  SetSteps(v1, kVolumeSteps);
  bind_.Scroll(form_.V1, v1);
  volume->addWidget(v1, 0, 0, 1, 3);
  volume->addWidget(FixedLabel(texts::kVolumeScale[0]), 1, 0);
  volume->addWidget(FixedLabel(texts::kVolumeScale[1], Qt::AlignCenter), 1, 1);
  volume->addWidget(FixedLabel(texts::kVolumeScale[2], Qt::AlignRight | Qt::AlignVCenter), 1, 2);
  auto* volset = Named(new QLineEdit, "VolSet");
  bind_.Text(form_.VolSet, volset);
  volset->setReadOnly(true);  // it follows the bar; the bar is the way to change it
  volume->addWidget(volset, 0, 3);
  volset->setFixedWidth(TwipsToPixels(700));
  volume->setColumnStretch(1, 1);
  middle->addWidget(frame11, 1);

  // The active format and DTMF code.
  auto* frame13 = Named(new QGroupBox, "Frame13");
  bind_.Frame(form_.Frame13, frame13);
  QPalette olive = frame13->palette();
  olive.setColor(QPalette::WindowText, QColor(128, 128, 0));
  frame13->setPalette(olive);
  auto* format = new QHBoxLayout(frame13);
  Tight(format);
  for (OptionButton* option : {&form_.OptionWAV, &form_.OptionMP3}) {
    auto* widget = Named(new FittedRadioButton, option->name());
    bind_.Option(*option, widget);
    // Information only: the voice refresh sets them from the chosen voice.
    widget->setAttribute(Qt::WA_TransparentForMouseEvents);
    widget->setFocusPolicy(Qt::NoFocus);
    KeepOwnTextColour(widget);
    format->addWidget(widget);
  }
  middle->addWidget(frame13);

  auto* frame12 = Named(new QGroupBox, "Frame12");
  bind_.Frame(form_.Frame12, frame12);
  auto* dtmf = new QHBoxLayout(frame12);
  Tight(dtmf);
  auto* label6 = Named(new QLabel, "Label6");
  bind_.Label(form_.Label6, label6);
  dtmf->addWidget(label6);
  auto* dtmf_time = Named(new QLineEdit, "DTMFTime");
  bind_.Text(form_.DTMFTime, dtmf_time);
  dtmf->addWidget(dtmf_time);
  dtmf_time->setFixedWidth(TwipsToPixels(900));
  middle->addWidget(frame12);

  // The active folder.
  auto* frame5 = Named(new QGroupBox, "Frame5");
  bind_.Frame(form_.Frame5, frame5);
  frame5->setPalette(olive);
  auto* folder = new QHBoxLayout(frame5);
  Tight(folder);
  auto* file_location = Named(new QLineEdit, "FileLocation");
  bind_.Text(form_.FileLocation, file_location);
  file_location->setReadOnly(true);  // information: the voice refresh writes it
  folder->addWidget(file_location);
  rows->addWidget(frame5);
  return page;
}

QWidget* MainWindow::BuildAudioFilesTab() {
  auto* page = new QWidget;
  auto* outer = new QVBoxLayout(page);
  Tight(outer);
  auto* frame14 = Named(new QGroupBox, "Frame14");
  bind_.Frame(form_.Frame14, frame14);
  auto* voice_frames = new QVBoxLayout(frame14);
  Tight(voice_frames, 4, 1);
  for (size_t i = 0; i < form_.voice_slots().size(); ++i) {
    const VoiceSlot& slot = form_.voice_slots()[i];
    auto* frame = Named(new QGroupBox, slot.frame->name());
    bind_.Frame(*slot.frame, frame);
    auto* row = new QHBoxLayout(frame);
    Tight(row, 4, 4);
    auto* folder = Named(new QLineEdit, slot.folder->name());
    bind_.Text(*slot.folder, folder);
    voice_folders_[i] = folder;
    row->addWidget(folder, 1);
    for (OptionButton* option : {slot.wav, slot.mp3}) {
      auto* widget = Named(new FittedRadioButton, option->name());
      bind_.Option(*option, widget);
      row->addWidget(widget);
    }
    // The status gives way to the folder when the Default buttons come into view: it is cut
    // short with its whole text in the tooltip, the folder text stays whole.
    voice_status_[i] = Named(new FittedLabel, "VoiceStatus" + std::to_string(i + 1));
    voice_status_[i]->setTextFormat(Qt::PlainText);
    voice_status_[i]->setMaximumWidth(TwipsToPixels(1500));
    voice_status_[i]->setVisible(static_cast<bool>(options_.voice_status));
    row->addWidget(voice_status_[i]);
    default_buttons_[i] = Named(new FittedPushButton, slot.default_button->name());
    bind_.Button(*slot.default_button, default_buttons_[i]);
    row->addWidget(default_buttons_[i]);
    voice_frames->addWidget(frame);
    bind_.Also(*slot.folder, [this, i] { RefreshVoiceStatus(i); });
    bind_.Also(*slot.wav, [this, i] { RefreshVoiceStatus(i); });
    bind_.Also(*slot.mp3, [this, i] { RefreshVoiceStatus(i); });
  }
  voice_frames->addStretch();
  outer->addWidget(frame14);
  if (!options_.generator.command.empty()) {
    // Where the ready-made voices go, and the way to make them there.
    auto* generator = new QHBoxLayout;
    const QString folder = QString::fromStdString(options_.generator.folder);
    generator_status_ = Named(new QLabel, "GeneratorStatus");
    generator_status_->setTextFormat(Qt::PlainText);
    generator_status_->setText(tr("Ready-made voices: %1").arg(folder));
    generator_status_->setToolTip(generator_status_->text());
    generator_status_->setMinimumWidth(1);
    generator->addWidget(generator_status_, 1);
    make_voices_ = Named(new FittedPushButton(tr("Make voices")), "MakeVoices");
    make_voices_->setToolTip(tr("Speak every clip of the ready-made voices into %1").arg(folder));
    connect(make_voices_, &QPushButton::clicked, this, &MainWindow::MakeVoices);
    generator->addWidget(make_voices_);
    outer->addLayout(generator);
  }
  return page;
}

void MainWindow::OfferVoiceGenerator() {
  if (options_.generator.command.empty() || !options_.generator.voices_missing ||
      !options_.generator.voices_missing() || making_voices()) {
    return;
  }
  const QString question = tr("The active voice lacks clips. Make the ready-made voices in %1 now? "
                              "This takes a few minutes; the clock goes on meanwhile.")
                               .arg(QString::fromStdString(options_.generator.folder));
  QMessageBox box(QMessageBox::Question, windowTitle(), question,
                  QMessageBox::Yes | QMessageBox::No, this);
  KeepWordsWhole(box, question);
  if (box.exec() == QMessageBox::Yes) MakeVoices();
}

bool MainWindow::making_voices() const {
  return generator_ && generator_->state() != QProcess::NotRunning;
}

void MainWindow::MakeVoices() {
  if (options_.generator.command.empty() || making_voices()) return;
  if (!generator_) {
    generator_ = new QProcess(this);
    generator_->setProcessChannelMode(QProcess::MergedChannels);
    const auto finished = [this](const QString& outcome) {
      make_voices_->setEnabled(true);
      generator_status_->setText(outcome);
      generator_status_->setToolTip(outcome);
      for (size_t i = 0; i < voice_status_.size(); ++i) RefreshVoiceStatus(i);
    };
    connect(
        generator_, &QProcess::finished, this,
        [this, finished](int code, QProcess::ExitStatus status) {
          const QString said = QString::fromLocal8Bit(generator_->readAll()).trimmed();
          const QString last = said.section(QLatin1Char('\n'), -1);
          finished(
              status == QProcess::NormalExit && code == 0
                  ? tr("Voices made in %1").arg(QString::fromStdString(options_.generator.folder))
                  : tr("The voice generator failed: %1")
                        .arg(last.isEmpty() ? tr("exit code %1").arg(code) : last));
        });
    connect(
        generator_, &QProcess::errorOccurred, this, [this, finished](QProcess::ProcessError error) {
          if (error == QProcess::FailedToStart) {
            finished(
                tr("The voice generator could not be started: %1").arg(generator_->errorString()));
          }
        });
  }
  QStringList arguments;
  for (size_t i = 1; i < options_.generator.command.size(); ++i) {
    arguments << QString::fromStdString(options_.generator.command[i]);
  }
  make_voices_->setEnabled(false);
  generator_status_->setText(
      tr("Making the voices in %1…").arg(QString::fromStdString(options_.generator.folder)));
  generator_status_->setToolTip(generator_status_->text());
  generator_->start(QString::fromStdString(options_.generator.command.front()), arguments);
}

void MainWindow::RefreshVoiceStatus(size_t slot) {
  const VoiceSlot& voice = form_.voice_slots()[slot];
  // The folder box keeps room for its whole text, up to half the row.
  if (QLineEdit* folder = voice_folders_[slot]) {
    const QFontMetrics metrics = folder->fontMetrics();
    const int text = metrics.horizontalAdvance(folder->text()) + metrics.averageCharWidth() * 5;
    folder->setMinimumWidth(std::min(text, TwipsToPixels(Form1::kClientWidth) / 2));
  }
  QLabel* label = voice_status_[slot];
  if (!label || !options_.voice_status) return;
  const QString status =
      QString::fromStdString(options_.voice_status(voice.folder->text(), voice.mp3->value()));
  label->setToolTip(status);
  label->setText(status);
}

QWidget* MainWindow::BuildLanguageTab() {
  auto* page = new QWidget;
  auto* grid = new QGridLayout(page);
  Tight(grid, 4, 0);
  grid->setHorizontalSpacing(4);
  // Rows share the page's height evenly: the left column has seventeen.
  constexpr int kRows = 17;
  constexpr int kSplit = 26;  // Text26 heads the right column
  const int row_height = TwipsToPixels(232);
  for (int number = Form1::kFirstLanguageText; number <= Form1::kLastLanguageText; ++number) {
    const bool left = number < kSplit;
    const int row = left ? number - Form1::kFirstLanguageText : number - kSplit;
    const int column = left ? 0 : 2;
    auto* label = Named(new FittedLabel, form_.LanguageLabel(number).name());
    bind_.Label(form_.LanguageLabel(number), label);
    label->setFixedHeight(row_height);
    grid->addWidget(label, row, column);
    auto* text = Named(new QLineEdit, form_.LanguageText(number).name());
    bind_.Text(form_.LanguageText(number), text);
    text->setFixedHeight(row_height);
    grid->addWidget(text, row, column + 1);
  }
  auto* frame15 = Named(new QGroupBox, "Frame15");
  bind_.Frame(form_.Frame15, frame15);
  auto* yours = new QVBoxLayout(frame15);
  Tight(yours);
  auto* label42 = Named(new QLabel, "Label42");
  bind_.Label(form_.Label42, label42);
  label42->setWordWrap(true);
  label42->setAlignment(Qt::AlignCenter);
  yours->addWidget(label42);
  const int right_rows = Form1::kLastLanguageText - kSplit + 1;
  grid->addWidget(frame15, right_rows, 2, kRows - right_rows, 2);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);
  return page;
}

QWidget* MainWindow::BuildButtonRow() {
  auto* strip = new QWidget;
  auto* row = new QHBoxLayout(strip);
  row->setContentsMargins(0, 0, 0, 0);
  auto* about = Named(new FittedPushButton, "Command2");
  bind_.Button(form_.Command2, about);
  auto* save = Named(new FittedPushButton, "Command5");
  bind_.Button(form_.Command5, save);
  save->setToolTip(Q(texts::kSaveTooltip));
  auto* save_and_exit = Named(new FittedPushButton, "SaveAndExit");
  bind_.Button(form_.SaveAndExit, save_and_exit);
  save_and_exit->setToolTip(Q(texts::kSaveAndExitTooltip));
  for (QPushButton* button : {about, save, save_and_exit}) {
    button->setMinimumWidth(TwipsToPixels(1500));
    if (button != about) row->addStretch();  // stretch between the buttons, none outside
    row->addWidget(button);
  }
  return strip;
}

QWidget* MainWindow::BuildDetails() {
  auto* panel = new QWidget;
  auto* column = new QVBoxLayout(panel);
  Tight(column, 3, 3);

  auto* h1 = Named(new QScrollBar(Qt::Horizontal), "H1");
  SetSteps(h1, kPositionSteps);
  bind_.Scroll(form_.H1, h1);
  column->addWidget(h1);

  auto* frame4 = Named(new QGroupBox, "Frame4");
  bind_.Frame(form_.Frame4, frame4);
  auto* progress = new QGridLayout(frame4);
  Tight(progress, 4, 2);
  const std::pair<std::string_view, TextBox*> rows[] = {{texts::kTimeLeftCaption, &form_.Text1},
                                                        {texts::kTimeUsedCaption, &form_.Text2},
                                                        {texts::kLengthCaption, &form_.Text3}};
  int row = 0;
  for (const auto& [caption, box] : rows) {
    progress->addWidget(FixedLabel(caption), row, 0);
    auto* edit = Named(new QLineEdit, box->name());
    bind_.Text(*box, edit);
    edit->setReadOnly(true);  // the progress refresh writes them; the sequencer reads them
    progress->addWidget(edit, row, 1);
    ++row;
  }
  progress->addWidget(FixedLabel(texts::kProgressFull, Qt::AlignRight | Qt::AlignTop), 0, 2, 3, 1);
  column->addWidget(frame4);

  auto* middle = new QHBoxLayout;
  auto* frame2 = Named(new QGroupBox, "Frame2");
  bind_.Frame(form_.Frame2, frame2);
  auto* speed = new QGridLayout(frame2);
  Tight(speed, 4, 1);
  auto* v2 = Named(new QScrollBar(Qt::Vertical), "V2");
  SetSteps(v2, kSpeedSteps);
  bind_.Scroll(form_.V2, v2);
  speed->addWidget(v2, 0, 0, 3, 1);
  speed->addWidget(FixedLabel(texts::kSpeedScale[0], Qt::AlignLeft | Qt::AlignTop), 0, 1);
  speed->addWidget(FixedLabel(texts::kSpeedScale[1]), 1, 1);
  speed->addWidget(FixedLabel(texts::kSpeedScale[2], Qt::AlignLeft | Qt::AlignBottom), 2, 1);
  auto* speed_set = Named(new QLineEdit, "SpeedSet");
  bind_.Text(form_.SpeedSet, speed_set);
  speed_set->setFixedWidth(TwipsToPixels(700));
  speed->addWidget(speed_set, 3, 0, 1, 2);
  middle->addWidget(frame2);

  auto* right = new QVBoxLayout;
  auto* frame3 = Named(new QGroupBox, "Frame3");
  bind_.Frame(form_.Frame3, frame3);
  auto* balance = new QVBoxLayout(frame3);
  Tight(balance, 4, 1);
  auto* h2 = Named(new QScrollBar(Qt::Horizontal), "H2");
  SetSteps(h2, kBalanceSteps);
  bind_.Scroll(form_.H2, h2);
  balance->addWidget(h2);
  balance->addWidget(FixedLabel(texts::kBalanceScale, Qt::AlignCenter));
  right->addWidget(frame3);
  auto* times = new QHBoxLayout;
  for (TextBox* box : {&form_.HH, &form_.MM, &form_.AM_PM}) {
    auto* edit = Named(new QLineEdit, box->name());
    bind_.Text(*box, edit);
    times->addWidget(edit);
  }
  right->addLayout(times);
  auto* ptt = Named(new QLabel, "PTT");
  QFont bold = ptt->font();
  bold.setBold(true);
  ptt->setFont(bold);
  ptt->setAlignment(Qt::AlignCenter);
  bind_.Label(form_.PTT, ptt);
  right->addWidget(ptt);
  right->addStretch();
  middle->addLayout(right, 1);
  column->addLayout(middle, 1);

  auto* buttons = new QHBoxLayout;
  auto* play = Named(new FittedPushButton, "Command1");
  bind_.Button(form_.Command1, play);
  buttons->addWidget(play);
  auto* default_voice = Named(new FittedPushButton, "Command9");
  bind_.Button(form_.Command9, default_voice);
  buttons->addWidget(default_voice);
  auto* node = Named(new FittedPushButton(tr("Node…")), "NodePanelButton");
  node->setToolTip(
      tr("The simulated node: send DTMF and chat, set busy flags, see what the clock sent"));
  node->setEnabled(options_.node != nullptr);
  connect(node, &QPushButton::clicked, this, &MainWindow::ShowNodePanel);
  buttons->addWidget(node);
  column->addLayout(buttons);
  return panel;
}

void MainWindow::BuildMenu() {
  QMenu* view = menuBar()->addMenu(tr("&View"));
  details_action_ = view->addAction(tr("&Details"));
  details_action_->setCheckable(true);
  details_action_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
  connect(details_action_, &QAction::toggled, this, &MainWindow::SetDetailsShown);
  QAction* node = view->addAction(tr("&Node panel"));
  node->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
  node->setEnabled(options_.node != nullptr);
  connect(node, &QAction::triggered, this, &MainWindow::ShowNodePanel);
  QAction* schedule = view->addAction(tr("&Schedule…"));
  schedule->setObjectName("ScheduleAction");
  connect(schedule, &QAction::triggered, this, &MainWindow::ShowScheduleDialog);
}

void MainWindow::ShowScheduleDialog() {
  if (!schedule_dialog_) schedule_dialog_ = std::make_unique<ScheduleDialog>(form_, this);
  schedule_dialog_->Refresh();
  schedule_dialog_->show();
  schedule_dialog_->raise();
  schedule_dialog_->activateWindow();
}

void MainWindow::SetDetailsShown(bool shown) {
  if (details_action_ && details_action_->isChecked() != shown) details_action_->setChecked(shown);
  details_->setVisible(shown);
  // The voices' Default buttons sit beyond their frames' edges as designed; they come into
  // view with the rest of what lies beyond the window's edge.
  for (QPushButton* button : default_buttons_) button->setVisible(shown);
  FitWindow();
}

bool MainWindow::details_shown() const { return !details_->isHidden(); }

void MainWindow::FitWindow() {
  const int width =
      TwipsToPixels(Form1::kClientWidth) + (details_shown() ? TwipsToPixels(kDetailsWidth) : 0);
  client_->setFixedSize(width, TwipsToPixels(Form1::kClientHeight));
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  adjustSize();
}

void MainWindow::FollowAboutWindow(Form14& about) {
  about.on_visibility_changed = [this, &about] {
    if (about.visible() && !about_) about_ = std::make_unique<AboutWindow>(about, font());
    if (!about_) return;
    if (about.visible()) {
      about_->show();
      about_->raise();
      about_->activateWindow();
    } else {
      about_->hide();
    }
  };
  about.on_visibility_changed();
}

void MainWindow::ShowNodePanel() {
  if (!options_.node) return;
  if (!node_panel_) node_panel_ = std::make_unique<NodePanel>(form_, *options_.node, font());
  node_panel_->show();
  node_panel_->raise();
  node_panel_->activateWindow();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The quit question: No keeps the window as it was.
  bool may_close = form_.ended();
  form_.Dispatch([this, &may_close] { may_close = form_.QueryUnload(); });
  if (may_close || form_.ended()) {
    event->accept();
  } else {
    event->ignore();
  }
}

}  // namespace horatone
