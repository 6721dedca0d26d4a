#pragma once

#include <QString>
#include <functional>
#include <string>

namespace quorell {

// The setting that turns the kept history on or off (a boolean, on when missing).
inline constexpr char kKeepHistorySetting[] = "history/keep";

// Draws a whole number uniformly from 0 to 9999, freshly seeded from the clock.
int DrawFromClock();

// Fixed ports, the local address every endpoint binds, and the random draw. The program always
// runs with the defaults; tests move them to run two peers in one process. Time-outs are not
// here: they are properties of the components (ReadTimeout, ReceiveTimeout, TerminateWaitTime),
// which tests shorten on the window's components.
struct StartupConfig {
    std::string bind_address;  // empty: all local addresses
    int control_port = 1001;
    int file_port = 8090;
    int audio_sink_port = 9002;
    // The encrypted session with another copy of the program: its TCP port (0: no session, the
    // plain protocol only) and the folder of this copy's identity and known peers (empty: the
    // user's data folder).
    int session_port = 9010;
    std::string identity_folder;
    // Voice and video with another copy as calls over the session (it names call/1); off, they
    // keep the plain protocol's streams with their notices over the session, as copies without
    // calls do.
    bool session_calls = true;
    // The chat history kept per peer in an SQLite database in history_folder (empty: the user's
    // data folder). Off unless asked for, so a window made by a test or a benchmark never
    // writes the user's folder; the program takes it from the user's setting (settings_file,
    // empty: the setting is not saved), which the history's context menu changes.
    bool keep_history = false;
    std::string history_folder;
    std::string settings_file;
    std::function<int()> draw = DrawFromClock;
};

}  // namespace quorell
