// What the web page shows and uses of the window beyond its settings form: the captions the
// language texts set, the Details (the bars, the progress and time texts, the clock's own
// transmit indicator), the active folder and format, and the About window. A use from the
// page runs the control's own handler through the window's dispatch, as a click or a drag in
// the window does; nothing here holds a rule of its own. Loop thread only.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace horatone {

class Form1;

using PageValues = std::vector<std::pair<std::string, std::string>>;

// The answer to a use from the page: its HTTP status and a JSON object.
struct PageAnswer {
  int status = 200;
  std::string json;
};

// {"message":...}, with `status`.
PageAnswer PageMessage(int status, const std::string& message);

// The captions, the Details, the active folder and format and the About window, as JSON
// object members (no braces), for the live status.
std::string WindowStatusJson(Form1& form);

// The page using one control of the window:
//   "bar"    name (V1, V2, H2 or H1), value: the operator dragging the bar's thumb there;
//   "click"  name: a click on one of the window's buttons (Play, About, Save, Save & Exit,
//            "Defalt Voice 1", a voice's Default);
//   "about"  name (Command1 to Command4 of the About window), text: the donation amount,
//            put in its list before "Make Donation" is clicked.
// Bad input is refused with a message naming the field, and nothing changes. The answer
// holds the settings values the use changed and the settings revision before and after it,
// so that a page whose form was current can follow without loading it again, and the links
// the handler handed to the desktop (`links_opened` is where the desktop's opener records
// them; may be null).
PageAnswer UseWindowControl(Form1& form, std::string_view action, const PageValues& values,
                            std::vector<std::string>* links_opened);

}  // namespace horatone
