#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "audio/wave_devices.h"
#include "video/capture_device.h"

namespace quorell {

namespace calls {
struct SessionCallsConfig;
}

class INotifier;
class IColorScheme;

// Plays the ring sound once without blocking; a new ring stops one still playing. Failures
// (missing file, no sound device) are silent.
class IRingPlayer {
public:
    virtual ~IRingPlayer() = default;
    virtual void Play(const QString& wav_path) = 0;
};

// Opens a file or a folder with the desktop's program for it (never in tests).
class IDesktopOpener {
public:
    virtual ~IDesktopOpener() = default;
    virtual void Open(const QString& path) = 0;
};

// The desktop's own (QDesktopServices::openUrl).
std::unique_ptr<IDesktopOpener> MakeDesktopOpener();

// The process-wide devices. main() creates one; tests create one per peer with fakes.
struct DeviceContext {
    std::unique_ptr<IRingPlayer> ring;
    // The first camera; none when the machine has no camera to offer.
    std::unique_ptr<ICaptureDevice> camera;
    // The sound devices of voice (recording and playback) and the second playback device of
    // the stream audio sink; none where the machine has no sound.
    std::unique_ptr<IWaveInputDevice> wave_in;
    std::unique_ptr<IWaveOutputDevice> wave_out;
    std::unique_ptr<IWaveOutputDevice> sink_out;
    // The desktop's notifications (app/notifier.h); none: only the taskbar's attention hint.
    std::shared_ptr<INotifier> notifier;
    // The desktop's light or dark choice, which the window's palette follows
    // (app/color_scheme.h); none: the palette the program started with.
    std::shared_ptr<IColorScheme> color_scheme;
    // Opens received files and their folders; none: the history offers no such entries.
    std::unique_ptr<IDesktopOpener> opener;
    // Where calls with the peer's copy take their voice from and play the peer's to: it may
    // change the sources and outputs of the configuration it is given, read at each session.
    // None: the sound server's default microphone and speaker.
    std::function<void(calls::SessionCallsConfig&)> call_devices;
};

// The ring player of the real program (Qt Multimedia).
std::unique_ptr<IRingPlayer> MakeSoundEffectRingPlayer();

}  // namespace quorell
