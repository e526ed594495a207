// The one page the web server serves: HTML, CSS and script in one text, with nothing fetched
// from elsewhere, so that it works on a node without internet.
#pragma once

#include <string>

namespace horatone {

// The page with `token` (the CSRF token every change must carry) in it; `login` gives the
// password form instead of the clock; `password` adds the way to log out.
std::string WebPage(const std::string& token, bool login, bool password);

}  // namespace horatone
