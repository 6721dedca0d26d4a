#pragma once

#include <QString>

namespace quorell {

// What runs with the peer when the user closes the window, that closing would cut short.
struct RunningWork {
    bool sending_file = false;    // a file of ours is going to the peer
    bool receiving_file = false;  // the peer's file is coming, or accepted and awaited
    bool call = false;            // a call over the session
};

// The question asked before closing; empty when nothing runs and the window just closes.
QString CloseQuestion(const RunningWork& work);

}  // namespace quorell
