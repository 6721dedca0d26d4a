#pragma once

#include <QString>
#include <memory>

namespace quorell {

// Plays the ring sound once without blocking; a new ring stops one still playing. Failures
// (missing file, no sound device) are silent.
class IRingPlayer {
public:
    virtual ~IRingPlayer() = default;
    virtual void Play(const QString& wav_path) = 0;
};

// The process-wide devices. main() creates one; tests create one per peer with fakes.
struct DeviceContext {
    std::unique_ptr<IRingPlayer> ring;
    // Camera, wave input and wave output join here as they are built.
};

// The ring player of the real program (Qt Multimedia).
std::unique_ptr<IRingPlayer> MakeSoundEffectRingPlayer();

}  // namespace quorell
