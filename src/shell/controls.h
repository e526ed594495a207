// The window's controls as plain state, without a toolkit. The logic reads and writes them;
// each notifies one observer when it changes, which is how a view follows the model. A view
// writes user input back through the same setters, so the view keeps no state of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace horatone {

// Colour references, 0x00BBGGRR.
inline constexpr std::uint32_t kColourRed = 0x0000FF;
inline constexpr std::uint32_t kColourGreen = 0x008000;
inline constexpr std::uint32_t kColourBlack = 0x000000;

class Control {
 public:
  explicit Control(std::string name) : name_(std::move(name)) {}
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  virtual ~Control() = default;

  const std::string& name() const { return name_; }
  bool enabled() const { return enabled_; }
  void set_enabled(bool enabled) { Update(enabled_, enabled); }

  // The one observer (the view); called after every change of state.
  void set_observer(std::function<void()> observer) { observer_ = std::move(observer); }

 protected:
  template <typename T>
  void Update(T& field, const T& value) {
    if (field == value) return;
    field = value;
    Notify();
  }
  void Notify() {
    if (observer_) observer_();
  }

 private:
  std::string name_;
  bool enabled_ = true;
  std::function<void()> observer_;
};

// A control with a caption: labels, frames, buttons, check boxes and option buttons.
class Captioned : public Control {
 public:
  Captioned(std::string name, std::string caption) : Control(std::move(name)), caption_(std::move(caption)) {}
  const std::string& caption() const { return caption_; }
  void set_caption(const std::string& caption) { Update(caption_, caption); }

 private:
  std::string caption_;
};

class Label : public Captioned {
 public:
  Label(std::string name, std::string caption, std::uint32_t fore_colour = kColourBlack)
      : Captioned(std::move(name), std::move(caption)), fore_colour_(fore_colour) {}
  std::uint32_t fore_colour() const { return fore_colour_; }
  void set_fore_colour(std::uint32_t colour) { Update(fore_colour_, colour); }

 private:
  std::uint32_t fore_colour_;
};

using Frame = Captioned;

class TextBox : public Control {
 public:
  TextBox(std::string name, std::string text) : Control(std::move(name)), text_(std::move(text)) {}
  const std::string& text() const { return text_; }
  void set_text(const std::string& text) { Update(text_, text); }

 private:
  std::string text_;
};

class CommandButton : public Captioned {
 public:
  using Captioned::Captioned;
  // Runs the click handler, as the operator's click does.
  void Click() {
    if (on_click) on_click();
  }
  std::function<void()> on_click;
};

// 0 unchecked, 1 checked, 2 greyed.
class CheckBox : public Captioned {
 public:
  CheckBox(std::string name, std::string caption, int value)
      : Captioned(std::move(name), std::move(caption)), value_(value) {}
  int value() const { return value_; }
  void set_value(int value) { Update(value_, value); }

 private:
  int value_;
};

class OptionButton;

// Option buttons exclusive within their frame: selecting one clears the others; clearing
// one selects no other.
class OptionGroup {
 public:
  void Add(OptionButton* button) { members_.push_back(button); }
  const std::vector<OptionButton*>& members() const { return members_; }

 private:
  std::vector<OptionButton*> members_;
};

class OptionButton : public Captioned {
 public:
  OptionButton(std::string name, std::string caption, OptionGroup& group)
      : Captioned(std::move(name), std::move(caption)), group_(group) {
    group_.Add(this);
  }
  bool value() const { return value_; }
  void set_value(bool value);
  const OptionGroup& group() const { return group_; }

 private:
  OptionGroup& group_;
  bool value_ = false;
};

inline void OptionButton::set_value(bool value) {
  if (value) {
    for (OptionButton* other : group_.members()) {
      if (other != this) other->set_value(false);
    }
  }
  Update(value_, value);
}

// A 16-bit scroll bar. Min may be above Max (a vertical bar with its top at the high end).
// A change of value runs on_change; a drag of the thumb runs on_scroll as well.
class ScrollBar : public Control {
 public:
  ScrollBar(std::string name, int min, int max, int value)
      : Control(std::move(name)), min_(min), max_(max), value_(value) {}
  int min() const { return min_; }
  int max() const { return max_; }
  int value() const { return value_; }
  void set_max(int max) { Update(max_, max); }
  // Sets the value; runs on_change when it differs. Out-of-range values are refused.
  bool set_value(int value) {
    const int low = min_ < max_ ? min_ : max_;
    const int high = min_ < max_ ? max_ : min_;
    if (value < low || value > high) return false;
    if (value == value_) return true;
    Update(value_, value);
    if (on_change) on_change();
    return true;
  }
  // The operator dragging the thumb to `value`.
  void Scroll(int value) {
    if (set_value(value) && on_scroll) on_scroll();
  }
  std::function<void()> on_change;
  std::function<void()> on_scroll;

 private:
  int min_, max_, value_;
};

// A window timer: runs its handler every `interval` ms while enabled. The loop binding
// (Form1) starts and stops the platform timer when `enabled` changes.
class Timer : public Control {
 public:
  Timer(std::string name, int interval_ms, bool enabled)
      : Control(std::move(name)), interval_ms_(interval_ms), running_(enabled) {}
  int interval_ms() const { return interval_ms_; }
  bool running() const { return running_; }
  void set_running(bool running) {
    if (running == running_) return;
    running_ = running;
    if (on_running_changed) on_running_changed();
    Notify();
  }
  void Fire() {
    if (on_tick) on_tick();
  }
  std::function<void()> on_tick;
  std::function<void()> on_running_changed;

 private:
  int interval_ms_;
  bool running_;
};

}  // namespace horatone
