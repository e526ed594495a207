// Bytes from a node program made fit for the log: the log is read on a terminal, in the
// journal and on the web page, so what a far end sent is shown, never obeyed. Pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace horatone {

// `bytes` as one log line's worth of text: printable characters as they are; control
// characters (C0, DEL, C1), bytes that are not UTF-8 and the backslash written as \xNN (the
// backslash as \\), so that nothing reaches the log raw and the escapes stay unambiguous. At
// most `limit` bytes of the result are kept, never cutting an escape or a character; a cut
// text ends in "...".
std::string LogText(std::string_view bytes, std::size_t limit);

}  // namespace horatone
