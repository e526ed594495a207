#include "about/form14.h"

#include "shell/texts.h"
#include "shell/version.h"

namespace horatone {
namespace {

constexpr std::array<std::string_view, 5> kDonationAmounts = {"10.00", "20.00", "30.00", "40.00",
                                                             "50.00"};
constexpr std::string_view kDonationItemPrefix = "Donation: $";

}  // namespace

const MakerDetails& Maker() {
  static const MakerDetails maker{
      {HORATONE_MAKER_LINE1, HORATONE_MAKER_LINE2, HORATONE_MAKER_LINE3, HORATONE_MAKER_LINE4},
      HORATONE_MAKER_EMAIL,
      HORATONE_MAKER_WEB_HOST,
      HORATONE_PAYMENT_HOST,
      HORATONE_PAYMENT_ACCOUNT};
  return maker;
}

std::string DonationLink(const std::string& amount) {
  return "https://" + std::string(Maker().payment_host) + "/xclick/business=" +
         std::string(Maker().payment_account) +
         "&undefined_quantity=1&item_name=Horatone+Program+Donation&amount=$" + amount;
}

void OpenWebLink(const std::string& link, ShellOpener& shell, Dialogs& dialogs) {
  // The desktop may take seconds to start a browser; the clock goes on meanwhile.
  shell.OpenAsync(link, [link, &dialogs](int code) { ReportOpenResult(link, code, dialogs); });
}

void ReportOpenResult(const std::string& link, int code, Dialogs& dialogs) {
  if (code >= kShellFirstSuccess || code == kShellNotReported) return;
  const std::string title(texts::kProductName);
  if (code == kShellNoAssociation) {
    dialogs.MessageBox({"No Association Found for HTTP Addresses. "
                        "A Web Browser Should be Installed or Reinstalled.",
                        title, MsgIcon::kExclamation});
  } else if (code == kShellFileNotFound || code == kShellPathNotFound) {
    dialogs.MessageBox({"The '" + link + "' File or Path was Not Found.", title,
                        MsgIcon::kExclamation});
  } else {
    dialogs.MessageBox({"An error occurred attempting to open '" + link + "' (ShellExecute code " +
                            std::to_string(code) + ").",
                        title, MsgIcon::kStop});
  }
}

Form14::Form14(Form1Services& services) : services_(services) {
  Command1.on_click = [this] { Command1_Click(); };
  Command2.on_click = [this] { Command2_Click(); };
  Command3.on_click = [this] { Command3_Click(); };
  Command4.on_click = [this] { Command4_Click(); };
}

void Form14::Load() {
  loaded_ = true;
  Result<std::unique_ptr<EchoLinkObject>> made = services_.nodes.Create();
  std::string info;
  if (made) {
    echolink_ = std::move(*made);
    info = echolink_->InfoText().value_or("");
  }
  caption = WindowTitle(info);
  Label6.set_caption(WindowTitle(info));
  for (size_t i = 0; i < maker_labels.size(); ++i) {
    maker_labels[i].set_caption(std::string(Maker().identity_lines[i]));
  }
  for (std::string_view amount : kDonationAmounts) {
    Combo1.AddItem(std::string(kDonationItemPrefix) + std::string(amount));
  }
}

void Form14::Show() {
  if (!loaded_) Load();
  SetVisible(true);
}

void Form14::SetVisible(bool visible) {
  if (visible_ == visible) return;
  visible_ = visible;
  if (on_visibility_changed) on_visibility_changed();
}

void Form14::Command1_Click() { SetVisible(false); }

void Form14::Command2_Click() { services_.shell.OpenAsync(std::string(Maker().web_host), {}); }

void Form14::Command3_Click() {
  services_.shell.OpenAsync("mailto:" + std::string(Maker().email) + "?subject= Horatone Program ",
                            {});
}

void Form14::Command4_Click() {
  for (std::string_view amount : kDonationAmounts) {
    if (Combo1.text() == std::string(kDonationItemPrefix) + std::string(amount)) {
      OpenWebLink(DonationLink(std::string(amount)), services_.shell, services_.dialogs);
      SetVisible(false);
      return;
    }
  }
}

}  // namespace horatone
