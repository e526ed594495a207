// The clock with its window: the audio engine, the voice check beside each voice folder, and
// the window model's log lines on the error stream.
#pragma once

#include "headless.h"

namespace horatone {

int RunDesktop(int argc, char** argv, const HeadlessOptions& options);

}  // namespace horatone
