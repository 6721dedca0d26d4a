#pragma once

namespace quorell {

// Turns SIGTERM, SIGINT and SIGHUP (a logout, a kill, Ctrl+C in a terminal) into an orderly
// quit of the event loop, so the window closes and its listeners stop as on a normal close.
// Call once, on the user-interface thread, after the application object exists.
void QuitEventLoopOnTerminationSignals();

// True once such a signal has come. A box or dialog open at that moment is closed; from
// then on no box or dialog is opened, and the main loop is not entered.
bool TerminationRequested();

}  // namespace quorell
