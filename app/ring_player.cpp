#include <QAudioDevice>
#include <QFileInfo>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>

#include "app/devices.h"

namespace quorell {

namespace {

class SoundEffectRingPlayer : public IRingPlayer {
public:
    void Play(const QString& wav_path) override {
        // Without the file or a sound device there is nothing to play, and nothing to say.
        if (!QFileInfo::exists(wav_path) || QMediaDevices::audioOutputs().isEmpty()) return;
        // A fresh effect per ring: dropping the old one stops a ring still playing.
        effect_ = std::make_unique<QSoundEffect>();
        effect_->setSource(QUrl::fromLocalFile(wav_path));
        effect_->play();
    }

private:
    std::unique_ptr<QSoundEffect> effect_;
};

}  // namespace

std::unique_ptr<IRingPlayer> MakeSoundEffectRingPlayer() {
    return std::make_unique<SoundEffectRingPlayer>();
}

}  // namespace quorell
