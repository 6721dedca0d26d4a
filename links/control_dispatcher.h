#pragma once

#include "common/ui_bridge.h"
#include "common/window_ref.h"
#include "links/control_events.h"
#include "links/line_source.h"

namespace quorell {

// Reads the first line from source and carries it out on target, then shows further chat lines
// until a blank line or the end of the lines. Every effect goes through the bridge, in line
// order. Failures propagate (the control server ends the connection silently).
void DispatchLines(ILineSource& source, UiBridge& bridge, const WindowRef<IControlEvents>& target);

}  // namespace quorell
