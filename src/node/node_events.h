// Delivery of a node's events to the objects the window made on it.
#pragma once

#include <algorithm>
#include <vector>

#include "echolink/echolink_object.h"

namespace horatone {

// Calls `call(events)` for each object in `objects` that has events set. It walks a copy and
// looks each object up again before its turn: a handler may end the program and drop its own
// object or another.
template <typename Object, typename Call>
void ToEachWithEvents(const std::vector<Object*>& objects, Call call) {
  for (Object* object : std::vector<Object*>(objects)) {
    if (std::find(objects.begin(), objects.end(), object) == objects.end()) continue;
    if (EchoLinkEvents* events = object->events()) call(*events);
  }
}

}  // namespace horatone
