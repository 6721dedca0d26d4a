#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace quorell {

// One microphone (a source of the sound server) or speaker (a sink).
struct SoundServerDevice {
    std::string name;         // the server's own name; Qt Multimedia's device id
    std::string description;  // what the desktop shows the user
};

// The sound server's devices and the defaults the desktop chose, at one moment.
struct SoundServerDevices {
    bool reached = false;  // false when no server answered: everything else is then empty
    std::string default_source;
    std::string default_sink;
    std::vector<SoundServerDevice> sources;  // in the server's order, sink monitors left out
    std::vector<SoundServerDevice> sinks;
};

// Asks the PulseAudio server for its devices and defaults. server is spelled as PULSE_SERVER
// spells it; empty means the server the environment names. A server is never started, and the
// question is given up after limit, so a missing or silent server costs at most that long.
// Safe on any thread: each call runs its own short main loop.
SoundServerDevices AskSoundServer(const std::string& server = {},
                                  std::chrono::milliseconds limit = std::chrono::milliseconds(500));

}  // namespace quorell
