#pragma once

namespace quorell {

// Turns SIGTERM, SIGINT and SIGHUP (a logout, a kill, Ctrl+C in a terminal) into an orderly
// quit of the event loop, so the window closes and its listeners stop as on a normal close.
// Call once, on the user-interface thread, after the application object exists.
void QuitEventLoopOnTerminationSignals();

}  // namespace quorell
