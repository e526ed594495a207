// A byte stream from a node program cut into LF-ended lines, holding at most one line's worth
// of bytes whatever the far end sends: a line longer than the limit is handed on once, cut to
// the limit and marked too long, as soon as it is known to be too long, and the rest of it up
// to its LF is dropped. A CR before the LF is dropped too. Pure; the caller reads the bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace horatone {

class BoundedLines {
 public:
  // `limit`: the longest line, without its CR and LF.
  explicit BoundedLines(std::size_t limit) : limit_(limit) {}

  // Calls `each(line, too_long)` for every line that `bytes` completes or shows to be too long.
  template <typename Each>
  void Feed(std::string_view bytes, Each&& each) {
    while (!bytes.empty()) {
      const std::size_t newline = bytes.find('\n');
      const std::string_view piece = bytes.substr(0, newline);
      if (skipping_) {
        if (newline != std::string_view::npos) skipping_ = false;
      } else {
        pending_.append(piece.substr(0, limit_ + 2 - pending_.size()));
        if (newline != std::string_view::npos) {
          if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
          const bool too_long = pending_.size() > limit_;
          if (too_long) pending_.resize(limit_);
          each(std::string_view(pending_), too_long);
          pending_.clear();
        } else if (pending_.size() > limit_ + 1) {
          // Too long even with a CR before its LF: said now, the rest of it dropped.
          pending_.resize(limit_);
          each(std::string_view(pending_), true);
          pending_.clear();
          skipping_ = true;
        }
      }
      if (newline == std::string_view::npos) return;
      bytes.remove_prefix(newline + 1);
    }
  }

  // Bytes of a line not yet ended by its LF.
  std::size_t pending() const { return pending_.size(); }

  // The end of the stream: the bytes of a last line that no LF ended (none when that line was
  // already handed on as too long), and a fresh start.
  std::string TakeUnfinished() {
    std::string rest = skipping_ ? std::string() : std::move(pending_);
    pending_.clear();
    skipping_ = false;
    return rest;
  }

 private:
  std::size_t limit_;
  std::string pending_;
  bool skipping_ = false;  // inside an over-long line, until its LF
};

}  // namespace horatone
