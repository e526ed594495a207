#include "ui/qt/bindings.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPointer>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <algorithm>

#include "about/form14.h"

namespace horatone {

QString LiteralCaption(const std::string& caption) { return QString::fromStdString(caption); }

QString MnemonicFreeCaption(const std::string& caption) {
  return QString::fromStdString(caption).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

namespace {

QColor FromColourReference(std::uint32_t bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                static_cast<int>((bgr >> 16) & 0xFF));
}

// A scroll bar whose minimum lies above its maximum (the speed bar: 200 at the top) runs
// negated in the widget, so that the widget's range is ascending from top to bottom.
bool Negated(const ScrollBar& model) { return model.min() > model.max(); }
int ToWidget(const ScrollBar& model, int value) { return Negated(model) ? -value : value; }

// Hands the arrow keys of one widget to `arrow` (true: forward); a handled key goes no further.
class ArrowKeys : public QObject {
 public:
  ArrowKeys(QWidget* widget, std::function<bool(bool)> arrow)
      : QObject(widget), arrow_(std::move(arrow)) {
    widget->installEventFilter(this);
  }
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return QObject::eventFilter(watched, event);
    switch (static_cast<QKeyEvent*>(event)->key()) {
      case Qt::Key_Up:
      case Qt::Key_Left:
        arrow_(false);
        return true;
      case Qt::Key_Down:
      case Qt::Key_Right:
        arrow_(true);
        return true;
      default:
        return false;
    }
  }

 private:
  std::function<bool(bool)> arrow_;
};

}  // namespace

Bindings::~Bindings() {
  for (auto& [model, syncs] : followed_) model->set_observer(nullptr);
}

void Bindings::Follow(Control& model, QWidget* widget, std::function<void()> sync) {
  QPointer<QWidget> guard(widget);
  Also(model, [guard, sync = std::move(sync)] {
    if (guard) sync();
  });
}

void Bindings::Also(Control& model, std::function<void()> changed) {
  changed();
  // One observer per control, running every sync bound to it (a caption shown twice).
  auto [entry, added] = followed_.try_emplace(&model);
  entry->second.push_back(std::move(changed));
  if (added) {
    model.set_observer([syncs = &entry->second] {
      for (const auto& each : *syncs) each();
    });
  }
}

void Bindings::Label(horatone::Label& model, QLabel* widget) {
  widget->setTextFormat(Qt::PlainText);
  Follow(model, widget, [&model, widget] {
    const QString text = LiteralCaption(model.caption());
    if (widget->text() != text) widget->setText(text);
    QPalette palette = widget->palette();
    const QColor colour = FromColourReference(model.fore_colour());
    if (palette.color(QPalette::WindowText) != colour) {
      palette.setColor(QPalette::WindowText, colour);
      widget->setPalette(palette);
    }
    widget->setEnabled(model.enabled());
  });
}

void Bindings::Frame(Captioned& model, QGroupBox* widget) {
  Follow(model, widget, [&model, widget] {
    const QString title = MnemonicFreeCaption(model.caption());
    if (widget->title() != title) widget->setTitle(title);
    widget->setEnabled(model.enabled());
  });
}

void Bindings::Button(CommandButton& model, QAbstractButton* widget) {
  Follow(model, widget, [&model, widget] {
    const QString text = MnemonicFreeCaption(model.caption());
    if (widget->text() != text) widget->setText(text);
    widget->setEnabled(model.enabled());
  });
  QObject::connect(widget, &QAbstractButton::clicked, widget, [&model] { model.Click(); });
}

void Bindings::Check(CheckBox& model, QCheckBox* widget) {
  auto sync = [&model, widget] {
    const QSignalBlocker quiet(widget);
    const QString text = MnemonicFreeCaption(model.caption());
    if (widget->text() != text) widget->setText(text);
    // Greyed (2) shows as partly checked; a click from there checks the box.
    widget->setTristate(model.value() == 2);
    const Qt::CheckState state = model.value() == 0   ? Qt::Unchecked
                                 : model.value() == 1 ? Qt::Checked
                                                      : Qt::PartiallyChecked;
    if (widget->checkState() != state) widget->setCheckState(state);
    widget->setEnabled(model.enabled());
  };
  Follow(model, widget, sync);
  QObject::connect(widget, &QCheckBox::clicked, widget, [&model, widget, sync] {
    const Qt::CheckState state = widget->checkState();
    model.set_value(state == Qt::Checked ? 1 : state == Qt::Unchecked ? 0 : 2);
    sync();
  });
}

void Bindings::Option(OptionButton& model, QRadioButton* widget) {
  // The model keeps its groups exclusive. Left to itself, Qt would join every option button
  // of one parent widget into a group, across the model's groups, and an exclusive button
  // refuses to clear itself though a model group may have none set.
  widget->setAutoExclusive(false);
  options_[&model] = widget;
  auto sync = [this, &model, widget] {
    const QSignalBlocker quiet(widget);
    const QString text = MnemonicFreeCaption(model.caption());
    if (widget->text() != text) widget->setText(text);
    if (widget->isChecked() != model.value()) widget->setChecked(model.value());
    widget->setEnabled(model.enabled());
    SetTabStops(model.group());
  };
  Follow(model, widget, sync);
  // Clicking (or an arrow key within the group) selects; the model clears the others.
  QObject::connect(widget, &QRadioButton::clicked, widget, [&model, sync] {
    model.set_value(true);
    sync();
  });
  new ArrowKeys(widget, [this, &model](bool forward) { return MoveInGroup(model, forward); });
}

void Bindings::SetTabStops(const OptionGroup& group) {
  std::vector<QRadioButton*> shown;
  QRadioButton* selected = nullptr;
  for (const OptionButton* member : group.members()) {
    const auto found = options_.find(member);
    if (found == options_.end() || found->second->focusPolicy() == Qt::NoFocus) continue;
    shown.push_back(found->second);
    if (member->value() && !selected) selected = found->second;
  }
  if (!selected && !shown.empty()) selected = shown.front();
  for (QRadioButton* widget : shown) {
    widget->setFocusPolicy(widget == selected ? Qt::StrongFocus : Qt::ClickFocus);
  }
}

bool Bindings::MoveInGroup(const OptionButton& from, bool forward) {
  const std::vector<OptionButton*>& members = from.group().members();
  const auto at = std::find(members.begin(), members.end(), &from);
  if (at == members.end()) return false;
  const size_t count = members.size();
  size_t index = static_cast<size_t>(at - members.begin());
  for (size_t step = 1; step < count; ++step) {
    index = (index + (forward ? 1 : count - 1)) % count;
    const auto found = options_.find(members[index]);
    if (found == options_.end()) continue;
    QRadioButton* next = found->second;
    if (!next->isEnabled() || !next->isVisibleTo(next->window()) ||
        next->focusPolicy() == Qt::NoFocus) {
      continue;
    }
    next->setFocus(Qt::TabFocusReason);
    next->click();
    return true;
  }
  return true;  // the only one of its group: the key stays here
}

void Bindings::Text(TextBox& model, QLineEdit* widget) {
  // Text boxes have the colour of tooltips, as the window was designed.
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Base, palette.color(QPalette::ToolTipBase));
  palette.setColor(QPalette::Text, palette.color(QPalette::ToolTipText));
  widget->setPalette(palette);
  Follow(model, widget, [&model, widget] {
    const QString text = QString::fromStdString(model.text());
    if (widget->text() != text) {
      const QSignalBlocker quiet(widget);
      widget->setText(text);
      // A long text shows its beginning, unless the operator is typing in it.
      if (!widget->hasFocus()) widget->setCursorPosition(0);
    }
    widget->setEnabled(model.enabled());
  });
  QObject::connect(widget, &QLineEdit::textEdited, widget,
                   [&model](const QString& text) { model.set_text(text.toStdString()); });
}

void Bindings::Scroll(ScrollBar& model, QScrollBar* widget) {
  auto sync = [&model, widget] {
    const QSignalBlocker quiet(widget);
    const int low = std::min(ToWidget(model, model.min()), ToWidget(model, model.max()));
    const int high = std::max(ToWidget(model, model.min()), ToWidget(model, model.max()));
    if (widget->minimum() != low || widget->maximum() != high) widget->setRange(low, high);
    if (widget->value() != ToWidget(model, model.value())) {
      widget->setValue(ToWidget(model, model.value()));
    }
    widget->setEnabled(model.enabled());
  };
  Follow(model, widget, sync);
  // Dragging the thumb is a scroll; arrows, track clicks and keys only change the value.
  QObject::connect(widget, &QScrollBar::sliderMoved, widget, [&model, sync](int value) {
    model.Scroll(ToWidget(model, value));
    sync();
  });
  QObject::connect(widget, &QScrollBar::valueChanged, widget, [&model, widget, sync](int value) {
    if (widget->isSliderDown()) return;
    model.set_value(ToWidget(model, value));
    sync();
  });
}

void Bindings::Combo(ComboBox& model, QComboBox* widget) {
  widget->setEditable(true);
  widget->setInsertPolicy(QComboBox::NoInsert);
  Follow(model, widget, [&model, widget] {
    const QSignalBlocker quiet(widget);
    QStringList items;
    for (const std::string& item : model.items()) items << QString::fromStdString(item);
    QStringList shown;
    for (int i = 0; i < widget->count(); ++i) shown << widget->itemText(i);
    if (shown != items) {
      widget->clear();
      widget->addItems(items);
    }
    const QString text = QString::fromStdString(model.text());
    if (widget->currentText() != text) widget->setEditText(text);
    widget->setEnabled(model.enabled());
  });
  QObject::connect(widget, &QComboBox::currentTextChanged, widget,
                   [&model](const QString& text) { model.set_text(text.toStdString()); });
}

}  // namespace horatone
