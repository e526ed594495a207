// Binds a model control to its widget both ways: the control's observer updates the widget
// when the control changes, and the operator's input on the widget goes back into the
// control through its setters and handlers. The widget keeps no state the control does not
// have. Bindings forget their observers when the Bindings object goes.
#pragma once

#include <QString>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "shell/controls.h"

class QAbstractButton;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QScrollBar;
class QWidget;

namespace horatone {

class ComboBox;

// A caption as the operator sees it: every character literally, an ampersand included.
QString LiteralCaption(const std::string& caption);
// The same for controls that would take '&' as a mnemonic (buttons, boxes, frames).
QString MnemonicFreeCaption(const std::string& caption);

class Bindings {
 public:
  Bindings() = default;
  Bindings(const Bindings&) = delete;
  Bindings& operator=(const Bindings&) = delete;
  ~Bindings();

  void Label(horatone::Label& model, QLabel* widget);
  void Frame(Captioned& model, QGroupBox* widget);
  void Button(CommandButton& model, QAbstractButton* widget);
  void Check(CheckBox& model, QCheckBox* widget);
  // Option buttons of one model group form one keyboard group: Tab stops at the selected one
  // (the first when none is), the arrow keys move and select within the group only.
  void Option(OptionButton& model, QRadioButton* widget);
  void Text(TextBox& model, QLineEdit* widget);
  void Scroll(ScrollBar& model, QScrollBar* widget);
  void Combo(ComboBox& model, QComboBox* widget);
  // Calls `changed` now and after every change of `model`, besides the other bindings.
  void Also(Control& model, std::function<void()> changed);

 private:
  void Follow(Control& model, QWidget* widget, std::function<void()> sync);
  void SetTabStops(const OptionGroup& group);
  bool MoveInGroup(const OptionButton& from, bool forward);

  std::map<Control*, std::vector<std::function<void()>>> followed_;
  std::map<const OptionButton*, QRadioButton*> options_;
};

}  // namespace horatone
