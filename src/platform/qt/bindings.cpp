#include "platform/qt/bindings.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPointer>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalBlocker>

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
  auto sync = [&model, widget] {
    const QSignalBlocker quiet(widget);
    const QString text = MnemonicFreeCaption(model.caption());
    if (widget->text() != text) widget->setText(text);
    if (widget->isChecked() != model.value()) {
      // An exclusive button refuses to clear itself; the model's groups may have none set.
      widget->setAutoExclusive(false);
      widget->setChecked(model.value());
      widget->setAutoExclusive(true);
    }
    widget->setEnabled(model.enabled());
  };
  Follow(model, widget, sync);
  // Clicking (or an arrow key within the group) selects; the model clears the others.
  QObject::connect(widget, &QRadioButton::clicked, widget, [&model, sync] {
    model.set_value(true);
    sync();
  });
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
