// Seconds as text for the progress boxes: shortest decimal form with at most 15 significant
// digits, fixed notation, no trailing zeros, no decimal point for whole numbers. The end of
// a clip is found by comparing two such texts, so equal values must give equal texts.
#pragma once

#include <string>

namespace horatone {

std::string SecondsText(double seconds);

}  // namespace horatone
