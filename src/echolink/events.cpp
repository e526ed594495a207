// The node's three events: a DTMF code starts an announcement, a chat line asking for the
// version is answered, and the node's closing ends the clock with the transmitter released.
#include "announce/steps.h"
#include "shell/form1.h"
#include "shell/texts.h"
#include "shell/version.h"

namespace horatone {

void Form1::EchoLink_DTMFString(const std::string& digits) {
  if (!IsClockCode(digits)) return;
  Log("announcement: DTMF code");
  StartAnnouncement(kStepTimeIs);
}

void Form1::EchoLink_ChatTextReceived(const std::string& sText) {
  if (sText.find(texts::kVersionQuery) == std::string::npos) return;
  ContinuePastFailure(echolink_->SendChatText(VersionReply()));
}

void Form1::EchoLink_Closing() {
  Log("the node is closing");
  ContinuePastFailure(echolink_->Transmit(false));
  ContinuePastFailure(echolink_->AuxFlag(false));
  EndProgram();
}

}  // namespace horatone
