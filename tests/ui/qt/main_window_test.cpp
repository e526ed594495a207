// The desktop window bound to a Form1 in virtual time: what the operator does on the widgets
// reaches the model, and what the model does shows on the widgets.
#include "ui/qt/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>

#include "about/form14.h"
#include "ui/qt/about_window.h"
#include "ui/qt/fitted_caption.h"
#include "ui/qt/schedule_dialog.h"
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

  Harness h;
  Form1& form;
  std::vector<std::pair<std::string, bool>> status_asked;
  MainWindow view;
};

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
  // The speed bar has 200 % at its top: a step down slows playback.
  Widget<QScrollBar>("V2")->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  EXPECT_LT(form.V2.value(), 100);
  // A language text renames its captions within half a second; the ampersand is no mnemonic.
  Widget<QLineEdit>("Text27")->selectAll();
  QTest::keyClicks(Widget<QLineEdit>("Text27"), "Sag die Zeit & mehr");  // typed over
  h.loop.AdvanceBy(500);
  EXPECT_EQ(Widget<QPushButton>("Command29")->text(), "Sag die Zeit && mehr");
  // The quit question: No keeps the window, Yes ends.
  h.dialogs.answers = {MsgAnswer::kNo, MsgAnswer::kYes};
  EXPECT_FALSE(view.close());
  EXPECT_TRUE(view.isVisible() && !form.ended());
  EXPECT_TRUE(view.close());
  EXPECT_TRUE(form.ended());
}

// Where a bar's thumb is drawn, in the window's coordinates: the style options filled as the
// bar fills them for its paint event.
int ThumbCentreX(QScrollBar* bar, QWidget* window) {
  QStyleOptionSlider option;
  option.initFrom(bar);
  option.subControls = QStyle::SC_All;
  option.orientation = bar->orientation();
  if (bar->orientation() == Qt::Horizontal) option.state |= QStyle::State_Horizontal;
  option.minimum = bar->minimum();
  option.maximum = bar->maximum();
  option.sliderPosition = bar->sliderPosition();
  option.sliderValue = bar->value();
  option.singleStep = bar->singleStep();
  option.pageStep = bar->pageStep();
  option.upsideDown = bar->orientation() == Qt::Horizontal
                          ? bar->invertedAppearance() != (option.direction == Qt::RightToLeft)
                          : bar->invertedAppearance();
  const QRect thumb =
      bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, bar);
  return bar->mapTo(window, thumb.center()).x();
}
// The column of the bar's picture, between its arrows, that is drawn darkest: where the eye
// finds the thumb.
int DarkestColumnX(QScrollBar* bar, QWidget* window) {
  const QImage picture = bar->grab().toImage();
  const int arrow = picture.height();  // the arrows are square
  int darkest = -1;
  double least = 1e9;
  for (int x = arrow + 2; x < picture.width() - arrow - 2; ++x) {
    double sum = 0;
    for (int y = 2; y < picture.height() - 2; ++y) sum += qGray(picture.pixel(x, y));
    if (sum < least) least = sum, darkest = x;
  }
  return bar->mapTo(window, QPoint(darkest * bar->width() / picture.width(), 0)).x();
}
int CentreX(QWidget* widget, QWidget* window) {
  return widget->mapTo(window, widget->rect().center()).x();
}

TEST_F(Window, TheVolumeThumbStandsAtOneHundredPerCentForFullVolume) {
  QScrollBar* bar = Widget<QScrollBar>("V1");
  QLabel *none = nullptr, *full = nullptr;
  for (QLabel* label : Widget<QWidget>("Frame11")->findChildren<QLabel*>()) {
    if (label->text() == "0%") none = label;
    if (label->text() == "100%") full = label;
  }
  ASSERT_TRUE(none && full);
  ASSERT_LT(CentreX(none, &view), CentreX(full, &view));
  const auto nearer_full = [&] {
    const int thumb = ThumbCentreX(bar, &view);
    // The thumb stands out from its track: the darkest part is drawn where it is.
    EXPECT_LT(std::abs(DarkestColumnX(bar, &view) - thumb), 10) << "thumb at " << thumb;
    return std::abs(thumb - CentreX(full, &view)) < std::abs(thumb - CentreX(none, &view));
  };
  form.Dispatch([&] { form.V1.set_value(0); });
  EXPECT_EQ(form.VolSet.text(), "0");
  EXPECT_TRUE(nearer_full()) << "full volume shows the thumb at " << ThumbCentreX(bar, &view);
  form.Dispatch([&] { form.V1.set_value(-3000); });
  EXPECT_FALSE(nearer_full()) << "silence shows the thumb at " << ThumbCentreX(bar, &view);
  // Dragging towards "100%" raises the volume.
  bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
  EXPECT_GT(form.V1.value(), -3000);
}

TEST_F(Window, VoiceButtonsFollowTheirFolders) {
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

TEST_F(Window, AboutIsOneWindowAndAFailingDonationLinkIsReported) {
  Click("Command2");
  AboutWindow* about = view.about();
  ASSERT_NE(about, nullptr);
  EXPECT_TRUE(about->isVisible());
  about->findChild<QPushButton*>("Command1")->click();  // Hide
  EXPECT_FALSE(about->isVisible());
  Click("Command2");
  Click("Command2");
  EXPECT_TRUE(about->isVisible());
  EXPECT_EQ(view.about(), about);
  const auto tops = QApplication::topLevelWidgets();
  EXPECT_EQ(std::count_if(tops.begin(), tops.end(),
                          [](QWidget* top) { return top->objectName() == "Form14"; }),
            1);
  // Closing it from its title bar hides it, and it comes back as it was.
  about->close();
  EXPECT_FALSE(form.about_window()->visible());
  Click("Command2");
  EXPECT_EQ(view.about(), about);
  // A failing donation link shows the message for its code, and About goes.
  h.shell.result = 2;
  about->findChild<QComboBox*>("Combo1")->setCurrentIndex(2);
  about->findChild<QPushButton*>("Command4")->click();
  ASSERT_FALSE(h.dialogs.shown.empty());
  const std::string link = DonationLink("30.00");
  EXPECT_EQ(h.dialogs.shown.back().text, "The '" + link + "' File or Path was Not Found.");
  EXPECT_EQ(h.dialogs.shown.back().icon, MsgIcon::kExclamation);
  EXPECT_EQ(h.shell.opened.back(), link);
  EXPECT_FALSE(about->isVisible());
}

TEST_F(Window, TheKeyboardReachesEveryControlOnceAndArrowsStayInTheirGroup) {
  view.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
  view.SetDetailsShown(true);
  for (int page = 0; page < view.tabs()->count(); ++page) {
    SCOPED_TRACE(page);
    view.tabs()->setCurrentIndex(page);
    // Tab from the tab bar round to it again: the widgets in the order reached.
    std::vector<QWidget*> reached;
    view.tabs()->tabBar()->setFocus(Qt::TabFocusReason);
    for (QWidget* now = QApplication::focusWidget(); now && reached.size() < 200;
         now = QApplication::focusWidget()) {
      if (!reached.empty() && now == reached.front()) break;
      reached.push_back(now);
      QTest::keyClick(now, Qt::Key_Tab);
    }
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
      if (qobject_cast<QRadioButton*>(widget))
        groups[widget->parentWidget()] += static_cast<int>(times);
      else
        EXPECT_EQ(times, 1) << widget->objectName().toStdString();
    }
    for (const auto& [group, times] : groups)
      EXPECT_EQ(times, 1) << group->objectName().toStdString();
    // The arrow keys move and select within the group and never leave it.
    for (QWidget* widget : reached) {
      if (!qobject_cast<QRadioButton*>(widget)) continue;
      widget->setFocus(Qt::TabFocusReason);
      for (Qt::Key key : {Qt::Key_Down, Qt::Key_Right, Qt::Key_Down, Qt::Key_Up, Qt::Key_Left}) {
        QTest::keyClick(QApplication::focusWidget(), key);
        EXPECT_EQ(QApplication::focusWidget()->parentWidget(), widget->parentWidget())
            << widget->objectName().toStdString();
        EXPECT_TRUE(qobject_cast<QRadioButton*>(QApplication::focusWidget())->isChecked());
      }
    }
  }
  // Escape hides About.
  Click("Command2");
  QTest::keyClick(view.about(), Qt::Key_Escape);
  EXPECT_FALSE(form.about_window()->visible());
}

// A caption longer than its control: cut, with the whole text in the tooltip, never wider than
// the control and never pushing the window's design apart.
TEST_F(Window, ALongCaptionIsElidedWithItsTooltip) {
  const QSize designed = view.centralWidget()->size();
  const std::string caption = "Halbstündlich, und dazu noch eine sehr lange Erläuterung";
  form.HalfHour.set_caption(caption);
  QApplication::processEvents();
  auto* widget = dynamic_cast<FittedCheckBox*>(view.Find("HalfHour"));
  widget->repaint();
  const CaptionFit& fit = widget->fit();
  EXPECT_TRUE(fit.elided);
  EXPECT_EQ(widget->text().toStdString(), caption);
  EXPECT_EQ(widget->toolTip().toStdString(), caption);
  EXPECT_GE(fit.font.pointSizeF(), kLeastCaptionPointSize);
  EXPECT_LE(QFontMetrics(fit.font).horizontalAdvance(fit.text), widget->width());
  EXPECT_TRUE(widget->parentWidget()->rect().contains(widget->geometry()));
  EXPECT_EQ(view.centralWidget()->size(), designed);
}

// The View menu's schedule dialog edits the model: a refused line names its key and nothing
// is taken; good lines act at once and reach the file on Save, beside the settings.
TEST_F(Window, TheScheduleDialogSetsTheScheduleThroughTheModel) {
  QAction* action = view.findChild<QAction*>("ScheduleAction");
  ASSERT_NE(action, nullptr);
  action->trigger();
  ScheduleDialog* dialog = view.schedule_dialog();
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(dialog->isVisible());
  EXPECT_EQ(dialog->line("ZONE")->text(), "local");
  dialog->line("QUIET")->setText("22:00-06:00");
  dialog->line("MINUTES")->setText("59,61");
  EXPECT_FALSE(dialog->Apply());
  EXPECT_TRUE(dialog->problems()->text().contains("SCHEDULE.MINUTES"));
  EXPECT_FALSE(form.schedule().quiet);

  dialog->line("MINUTES")->setText("59");
  dialog->line("ZONE")->setText("UTC");
  dialog->line("IDCLIP")->setText("Ident");
  EXPECT_TRUE(dialog->Apply());
  EXPECT_TRUE(form.schedule().quiet && form.schedule().minutes[59]);
  EXPECT_EQ(form.schedule().id_clip, "Ident");
  Click("Command5");  // Save
  EXPECT_EQ(h.profile.GetString("SCHEDULE", "ZONE", ""), "UTC");
  EXPECT_EQ(h.profile.GetString("SCHEDULE", "QUIET", ""), "22:00-06:00");
  // The three tabs keep their layout: the dialog is a window of its own.
  EXPECT_EQ(view.tabs()->count(), 3);
}

}  // namespace
}  // namespace horatone
