#pragma once

#include <memory>

#include "common/ui_bridge.h"

namespace quorell {

// A bridge whose hand-offs run from the Qt event loop of the calling (user-interface) thread,
// including the nested loops of modal boxes. Needs a QCoreApplication.
std::shared_ptr<UiBridge> MakeQtUiBridge();

}  // namespace quorell
