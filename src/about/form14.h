// Form14, the About window: the program's name and version, the maker's identity, and the
// e-mail, web and donation links. Built on its first showing and kept when hidden; it has
// its own node object, without events. OpenWebLink hands a link to the desktop and reports
// a failure with the message that fits it.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "shell/controls.h"
#include "shell/form1.h"

namespace horatone {

// The maker's details, set when the program is built.
struct MakerDetails {
  std::array<std::string_view, 4> identity_lines;
  std::string_view email;
  std::string_view web_host;
  std::string_view payment_host;
  std::string_view payment_account;
};
const MakerDetails& Maker();

// An editable drop-down list.
class ComboBox : public Control {
 public:
  ComboBox(std::string name, std::string text) : Control(std::move(name)), text_(std::move(text)) {}
  const std::string& text() const { return text_; }
  void set_text(const std::string& text) { Update(text_, text); }
  const std::vector<std::string>& items() const { return items_; }
  void AddItem(const std::string& item) {
    items_.push_back(item);
    Update(item_count_, items_.size());
  }

 private:
  std::string text_;
  std::vector<std::string> items_;
  size_t item_count_ = 0;
};

// Hands `link` to the desktop; a failure code, when it arrives, gets its message box.
void OpenWebLink(const std::string& link, ShellOpener& shell, Dialogs& dialogs);
// The message box for the opener's result `code` (none for a success).
void ReportOpenResult(const std::string& link, int code, Dialogs& dialogs);

// The donation link for one of the five amounts ("10.00" to "50.00").
std::string DonationLink(const std::string& amount);

class Form14 {
 public:
  explicit Form14(Form1Services& services);
  Form14(const Form14&) = delete;
  Form14& operator=(const Form14&) = delete;

  // Shows the window, building it first when it has never been shown.
  void Show();
  bool visible() const { return visible_; }
  bool loaded() const { return loaded_; }

  void Command1_Click();  // Hide
  void Command2_Click();  // web site
  void Command3_Click();  // e-mail
  void Command4_Click();  // Make Donation

  std::string caption = "About";
  Label Label6{"Label6", "Program Here"};
  std::array<Label, 4> maker_labels{Label{"Label1", ""}, Label{"Label2", ""}, Label{"Label3", ""},
                                    Label{"Label4", ""}};
  ComboBox Combo1{"Combo1", "Donation Amount"};
  CommandButton Command1{"Command1", "Hide"};
  CommandButton Command2{"Command2", ""};
  CommandButton Command3{"Command3", ""};
  CommandButton Command4{"Command4", "Make Donation"};
  // Observes showing and hiding (the view).
  std::function<void()> on_visibility_changed;

 private:
  void Load();
  void SetVisible(bool visible);

  Form1Services& services_;
  std::unique_ptr<EchoLinkObject> echolink_;
  bool loaded_ = false;
  bool visible_ = false;
};

}  // namespace horatone
