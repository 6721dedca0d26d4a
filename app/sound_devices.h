#pragma once

#include <QAudioDevice>
#include <string>

namespace quorell {

// The microphone and the speaker the user picked for this run, by the sound server's names.
// Empty: the one the desktop has as its default at the moment a device opens.
struct SoundDeviceChoice {
    std::string input;
    std::string output;
    bool operator==(const SoundDeviceChoice&) const = default;
};

// The device to open: the picked one while it is there, else the sound server's current
// default, else Qt's own default (no server to ask, or a default Qt does not know). A null
// device when the machine has none. choice may be null: nothing picked.
QAudioDevice AudioInputFor(const SoundDeviceChoice* choice);
QAudioDevice AudioOutputFor(const SoundDeviceChoice* choice);

}  // namespace quorell
