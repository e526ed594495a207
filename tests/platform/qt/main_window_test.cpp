// The desktop window bound to a Form1 in virtual time: what the operator does on the widgets
// reaches the model, and what the model does shows on the widgets.
#include "platform/qt/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "about/form14.h"
#include "platform/qt/about_window.h"
#include "platform/qt/fitted_caption.h"
#include "platform/qt/node_panel.h"
#include "shell/texts.h"
#include "test_support/announcing.h"

namespace horatone {
namespace {

class Window : public ::testing::Test {
 protected:
  Window()
      : form(StartWithVoice(h)),
        view(form, {&h.node,
                    [this](const std::string& folder, bool mp3) {
                      status_asked.emplace_back(folder, mp3);
                      return folder.empty() ? "" : "checked";
                    },
                    {}}) {
    view.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&view));
  }

  template <typename W>
  W* Widget(const std::string& name) {
    W* widget = dynamic_cast<W*>(view.Find(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  // What a click of the operator does (the signal the binding listens to), on the named widget.
  void Click(const std::string& name) { Widget<QAbstractButton>(name)->click(); }
  void Retype(const std::string& name, const QString& text) {
    QLineEdit* edit = Widget<QLineEdit>(name);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
  }

  Harness h;
  Form1& form;
  std::vector<std::pair<std::string, bool>> status_asked;
  MainWindow view;
};

TEST_F(Window, IsLaidOutAsDesignedAndCaptionsAreLiteral) {
  // The client area is the designed 7260 x 5205 twips; the details widen it on demand.
  const QSize designed(view.TwipsToPixels(Form1::kClientWidth),
                       view.TwipsToPixels(Form1::kClientHeight));
  EXPECT_EQ(view.centralWidget()->size(), designed);
  view.SetDetailsShown(true);
  EXPECT_EQ(view.centralWidget()->width(),
            designed.width() + view.TwipsToPixels(MainWindow::kDetailsWidth));
  view.SetDetailsShown(false);
  EXPECT_EQ(view.centralWidget()->size(), designed);
  // The ampersand shows, it is no mnemonic.
  EXPECT_EQ(Widget<QPushButton>("SaveAndExit")->text(), "Save && Exit");
  EXPECT_EQ(Widget<QLabel>("Label33")->text(), "Save & Exit (Button)");
  EXPECT_EQ(Widget<QGroupBox>("Frame14")->title().toStdString(), form.LanguageText(36).text());
}

TEST_F(Window, SayTheTimeSpeaksTheTimeAndTheIndicatorsFollow) {
  Click("Command29");
  h.loop.AdvanceBy(2);  // the first press after start-up sounds at the sequencer's next tick
  ASSERT_FALSE(h.media.heard.empty());
  EXPECT_EQ(Widget<QLabel>("PTT")->text(), "PTT ON");
  h.loop.AdvanceBy(100);
  EXPECT_EQ(Widget<QLabel>("PTT2")->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  ASSERT_TRUE(RunToIdle(h));
  EXPECT_GE(h.media.heard.size(), 4u);
  EXPECT_EQ(Widget<QLabel>("PTT")->text(), "PTT OFF");
  EXPECT_EQ(Widget<QLineEdit>("Text2")->text().toStdString(), form.Text3.text());
}

TEST_F(Window, ALanguageTextRenamesItsCaptionsWithinHalfASecond) {
  Retype("Text27", "Sag die Zeit & mehr");
  EXPECT_EQ(form.LanguageText(27).text(), "Sag die Zeit & mehr");
  h.loop.AdvanceBy(500);
  EXPECT_EQ(Widget<QPushButton>("Command29")->text(), "Sag die Zeit && mehr");
}

TEST_F(Window, VoiceButtonsFollowTheirFolders) {
  QRadioButton* voice3 = Widget<QRadioButton>("Option7");
  h.loop.AdvanceBy(100);
  EXPECT_FALSE(voice3->isEnabled());
  Retype("Text6", "C:\\HoraVoice\\F_UK\\");
  h.loop.AdvanceBy(100);
  EXPECT_TRUE(voice3->isEnabled());
  Retype("Text6", "");
  h.loop.AdvanceBy(100);
  EXPECT_FALSE(voice3->isEnabled());

  // Choosing a voice in mp3 makes it the active one, and the voice check is asked about it.
  Click("Command4");  // the Default button fills voice 2's folder
  h.loop.AdvanceBy(100);
  Click("Option13");  // voice 2 in mp3
  Click("Option4");
  h.loop.AdvanceBy(100);
  EXPECT_EQ(Widget<QLineEdit>("FileLocation")->text(), "C:\\HoraVoice\\M\\");
  EXPECT_TRUE(Widget<QRadioButton>("OptionMP3")->isChecked());
  EXPECT_FALSE(Widget<QRadioButton>("Option3")->isChecked());
  ASSERT_FALSE(status_asked.empty());
  EXPECT_EQ(status_asked.back(), std::make_pair(std::string("C:\\HoraVoice\\M\\"), true));
  EXPECT_EQ(Widget<QLabel>("VoiceStatus2")->toolTip(), "checked");
}

TEST_F(Window, BoxesButtonsAndBarsWriteIntoTheModelAndShowIt) {
  Click("OnHour");
  EXPECT_EQ(form.OnHour.value(), 0);
  Click("Option1");
  EXPECT_FALSE(form.Option2.value());
  // The model's groups may have no button set, and a box may be greyed; the widgets show it.
  form.Option1.set_value(false);
  EXPECT_FALSE(Widget<QRadioButton>("Option1")->isChecked() ||
               Widget<QRadioButton>("Option2")->isChecked());
  form.HalfHour.set_value(2);
  EXPECT_EQ(Widget<QCheckBox>("HalfHour")->checkState(), Qt::PartiallyChecked);

  Widget<QScrollBar>("V1")->triggerAction(QAbstractSlider::SliderPageStepSub);
  EXPECT_LT(form.V1.value(), 0);
  EXPECT_EQ(Widget<QLineEdit>("VolSet")->text().toStdString(), std::to_string(form.V1.value()));
  // The speed bar has 200 % at its top: a step down slows playback.
  QScrollBar* speed = Widget<QScrollBar>("V2");
  speed->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  EXPECT_LT(form.V2.value(), 100);
  form.V2.set_value(200);
  EXPECT_EQ(speed->value(), speed->minimum());
}

TEST_F(Window, TheQuitQuestionsNoKeepsTheWindow) {
  h.dialogs.answers = {MsgAnswer::kNo};
  EXPECT_FALSE(view.close());
  EXPECT_TRUE(view.isVisible());
  EXPECT_FALSE(form.ended());
  ASSERT_EQ(h.dialogs.shown.size(), 1u);
  EXPECT_EQ(h.dialogs.shown[0].text, texts::kQuitText);
  h.dialogs.answers = {MsgAnswer::kYes};
  EXPECT_TRUE(view.close());
  EXPECT_TRUE(form.ended());
}

TEST_F(Window, AboutShownTwiceIsOneWindowWithFiveAmounts) {
  Click("Command2");
  AboutWindow* about = view.about();
  ASSERT_NE(about, nullptr);
  EXPECT_TRUE(about->isVisible());
  Click("Command2");
  EXPECT_EQ(view.about(), about);
  about->findChild<QPushButton*>("Command1")->click();  // Hide
  EXPECT_FALSE(about->isVisible());
  Click("Command2");
  EXPECT_TRUE(about->isVisible());

  int about_windows = 0;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    about_windows += top->objectName() == "Form14";
  }
  EXPECT_EQ(about_windows, 1);
  QComboBox* amounts = about->findChild<QComboBox*>("Combo1");
  ASSERT_EQ(amounts->count(), 5);
  EXPECT_EQ(amounts->itemText(0), "Donation: $10.00");
  EXPECT_EQ(amounts->currentText(), "Donation Amount");
  // Closing it from its title bar hides it, and it comes back as it was.
  about->close();
  EXPECT_FALSE(form.about_window()->visible());
  Click("Command2");
  EXPECT_EQ(view.about(), about);
  EXPECT_EQ(amounts->count(), 5);
}

TEST_F(Window, AFailingDonationLinkShowsTheMessageForItsCode) {
  struct Case {
    int code;
    std::string text;
    MsgIcon icon;
  };
  const std::string link = DonationLink("30.00");
  const Case cases[] = {
      {31,
       "No Association Found for HTTP Addresses. A Web Browser Should be Installed or Reinstalled.",
       MsgIcon::kExclamation},
      {2, "The '" + link + "' File or Path was Not Found.", MsgIcon::kExclamation},
      {8, "An error occurred attempting to open '" + link + "' (ShellExecute code 8).",
       MsgIcon::kStop}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    h.shell.result = c.code;
    Click("Command2");
    AboutWindow* about = view.about();
    about->findChild<QComboBox*>("Combo1")->setCurrentIndex(2);
    about->findChild<QPushButton*>("Command4")->click();
    ASSERT_FALSE(h.dialogs.shown.empty());
    EXPECT_EQ(h.dialogs.shown.back().text, c.text);
    EXPECT_EQ(h.dialogs.shown.back().title, texts::kProductName);
    EXPECT_EQ(h.dialogs.shown.back().icon, c.icon);
    EXPECT_EQ(h.shell.opened.back(), link);
    EXPECT_FALSE(about->isVisible());
  }
}

TEST_F(Window, TheNodePanelTalksToTheClockThroughTheNode) {
  view.ShowNodePanel();
  NodePanel* panel = view.node_panel();
  ASSERT_NE(panel, nullptr);
  auto* busy = panel->findChild<QCheckBox*>("Busy2");
  busy->click();
  EXPECT_TRUE(h.node.busy[1]);
  busy->click();

  QTest::keyClicks(panel->findChild<QLineEdit*>("Dtmf"), "123");
  panel->findChild<QPushButton*>("DtmfSend")->click();
  h.loop.AdvanceBy(2);
  EXPECT_FALSE(h.media.heard.empty());
  EXPECT_EQ(panel->findChild<QLabel*>("Transmitter")->text(), "Transmitting");
  const QString log = panel->findChild<QPlainTextEdit*>("Log")->toPlainText();
  EXPECT_TRUE(log.startsWith("14:04:5") && log.contains("Transmit 1")) << log.toStdString();
  // The release repeated every idle second is one line that counts.
  ASSERT_TRUE(RunToIdle(h));
  h.loop.AdvanceBy(10000);
  const QString idle = panel->findChild<QPlainTextEdit*>("Log")->toPlainText();
  EXPECT_LT(idle.count('\n'), 4) << idle.toStdString();
  EXPECT_TRUE(idle.contains(QRegularExpression("  Transmit 0 ×1\\d$"))) << idle.toStdString();

  panel->findChild<QPushButton*>("CloseNode")->click();
  EXPECT_TRUE(form.ended());
  EXPECT_FALSE(h.node.keyed());
}

// Tab from the tab bar round to it again, on the shown page: the widgets in the order reached.
std::vector<QWidget*> TabWalk(QWidget* start) {
  std::vector<QWidget*> reached;
  start->setFocus(Qt::TabFocusReason);
  for (int i = 0; i < 200 && QApplication::focusWidget(); ++i) {
    QWidget* now = QApplication::focusWidget();
    if (!reached.empty() && now == reached.front()) break;
    reached.push_back(now);
    QTest::keyClick(now, Qt::Key_Tab);
  }
  return reached;
}

TEST_F(Window, TheKeyboardReachesEveryControlOnceAndArrowsStayInTheirGroup) {
  view.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
  view.SetDetailsShown(true);
  for (int page = 0; page < view.tabs()->count(); ++page) {
    SCOPED_TRACE(page);
    view.tabs()->setCurrentIndex(page);
    const std::vector<QWidget*> reached = TabWalk(view.tabs()->tabBar());
    ASSERT_GT(reached.size(), 1u);
    // Every operable control in sight, once; of a group of option buttons, one.
    std::map<QWidget*, int> groups;
    for (QWidget* widget : view.findChildren<QWidget*>()) {
      const bool operable = qobject_cast<QAbstractButton*>(widget) ||
                            qobject_cast<QLineEdit*>(widget) || qobject_cast<QScrollBar*>(widget);
      if (!operable || widget->objectName().isEmpty() || !widget->isVisible() ||
          !widget->isEnabled() || widget->focusPolicy() == Qt::NoFocus) {
        continue;  // the information-only format buttons take no focus by design
      }
      const auto times = std::count(reached.begin(), reached.end(), widget);
      if (qobject_cast<QRadioButton*>(widget)) {
        groups[widget->parentWidget()] += static_cast<int>(times);
      } else {
        EXPECT_EQ(times, 1) << widget->objectName().toStdString();
      }
    }
    for (const auto& [group, times] : groups) {
      EXPECT_EQ(times, 1) << group->objectName().toStdString();
    }
    // The arrow keys move and select within the group and never leave it.
    for (QWidget* widget : reached) {
      if (!qobject_cast<QRadioButton*>(widget)) continue;
      widget->setFocus(Qt::TabFocusReason);
      for (Qt::Key key : {Qt::Key_Down, Qt::Key_Down, Qt::Key_Right, Qt::Key_Down, Qt::Key_Down,
                          Qt::Key_Down, Qt::Key_Up, Qt::Key_Left}) {
        QTest::keyClick(QApplication::focusWidget(), key);
        EXPECT_EQ(QApplication::focusWidget()->parentWidget(), widget->parentWidget())
            << widget->objectName().toStdString();
        EXPECT_TRUE(qobject_cast<QRadioButton*>(QApplication::focusWidget())->isChecked());
      }
    }
  }
  // Down from "24 Hour" stays with the hours: the voice is not changed.
  view.tabs()->setCurrentIndex(0);
  const bool voice1 = form.Option3.value();
  Widget<QRadioButton>("Option2")->setFocus();
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
  EXPECT_EQ(form.Option3.value(), voice1);
  EXPECT_TRUE(form.Option1.value());
  // The volume bar moves with the arrow keys.
  form.V1.set_value(-1000);
  const int volume = form.V1.value();
  Widget<QScrollBar>("V1")->setFocus();
  ASSERT_EQ(QApplication::focusWidget(), view.Find("V1"));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Left);
  EXPECT_LT(form.V1.value(), volume);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
  EXPECT_GT(form.V1.value(), volume);
  // Escape hides About.
  Click("Command2");
  QTest::keyClick(view.about(), Qt::Key_Escape);
  EXPECT_FALSE(form.about_window()->visible());
}

// Captions in a language longer than the design's: smaller type, or cut with the whole text
// in the tooltip; never wider than the control, never pushing the window's design apart.
TEST_F(Window, ALongCaptionFitsItsControlOrIsElidedWithItsTooltip) {
  const QSize designed = view.centralWidget()->size();
  const std::pair<CheckBox*, std::string> captions[] = {
      {&form.OnHour, "Zur vollen Stunde"},
      {&form.QuarterHour, "Viertelstündlich"},
      {&form.HalfHour, "Halbstündlich, und dazu noch eine sehr lange Erläuterung"}};
  for (const auto& [box, caption] : captions) box->set_caption(caption);
  QApplication::processEvents();
  for (const auto& [box, caption] : captions) {
    SCOPED_TRACE(caption);
    auto* widget = dynamic_cast<FittedCheckBox*>(view.Find(box->name()));
    ASSERT_NE(widget, nullptr);
    widget->repaint();
    const CaptionFit& fit = widget->fit();
    EXPECT_EQ(widget->text().toStdString(), caption);
    EXPECT_GE(fit.font.pointSizeF(), kLeastCaptionPointSize);
    EXPECT_LE(QFontMetrics(fit.font).horizontalAdvance(fit.text), widget->width());
    EXPECT_TRUE(widget->parentWidget()->rect().contains(widget->geometry()));
    if (fit.shrunk || fit.elided) {
      EXPECT_EQ(widget->toolTip().toStdString(), caption);
    }
    if (!fit.elided) {
      EXPECT_EQ(fit.text.toStdString(), caption);
    }
  }
  auto* long_one = dynamic_cast<FittedCheckBox*>(view.Find("HalfHour"));
  EXPECT_TRUE(long_one->fit().elided);
  EXPECT_EQ(view.centralWidget()->size(), designed);
  // Back to a short caption: drawn whole, and the tooltip goes.
  form.HalfHour.set_caption("Half");
  long_one->repaint();
  EXPECT_FALSE(long_one->fit().elided || long_one->fit().shrunk);
  EXPECT_TRUE(long_one->toolTip().isEmpty());
}

// The voice generator runs beside the loop; its outcome, and its last word when it fails,
// show on the Audio Files tab, and the voice statuses are asked again.
TEST(VoiceGeneratorOffer, RunsBesideTheClockAndShowsHowItWent) {
  Harness h;
  Form1& form = StartWithVoice(h);
  int asked = 0;
  const auto status = [&asked](const std::string&, bool) {
    ++asked;
    return std::string("checked");
  };
  for (const auto& [script, outcome] :
       {std::pair{"echo speaking; exit 0", "Voices made in /srv/voices"},
        std::pair{"echo 'espeak-ng is not installed' >&2; exit 1",
                  "The voice generator failed: espeak-ng is not installed"}}) {
    SCOPED_TRACE(script);
    MainWindow view(form, {nullptr, status, {{"/bin/sh", "-c", script}, "/srv/voices", {}}});
    auto* label = view.findChild<QLabel*>("GeneratorStatus");
    ASSERT_NE(label, nullptr);
    const int asked_before = asked;
    view.MakeVoices();
    EXPECT_FALSE(view.findChild<QPushButton*>("MakeVoices")->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view.making_voices(); }, 60000));
    QApplication::processEvents();
    EXPECT_EQ(label->text().toStdString(), outcome);
    EXPECT_GT(asked, asked_before);
    EXPECT_TRUE(view.findChild<QPushButton*>("MakeVoices")->isEnabled());
  }
}

TEST(WindowFont, ALargerDesktopTypeScalesTheWholeDesign) {
  Harness h;
  Form1& form = StartWithVoice(h);
  const QFont desktop = QApplication::font();
  MainWindow standard(form, {});
  QFont larger = desktop;
  larger.setPointSizeF(18);  // twice the type the design is drawn for
  QApplication::setFont(larger);
  MainWindow scaled(form, {});
  QApplication::setFont(desktop);
  EXPECT_DOUBLE_EQ(scaled.font().pointSizeF(), 16);
  EXPECT_NEAR(scaled.TwipsToPixels(Form1::kClientWidth),
              2 * standard.TwipsToPixels(Form1::kClientWidth) * 9 / desktop.pointSizeF(), 2);
}

}  // namespace
}  // namespace horatone
