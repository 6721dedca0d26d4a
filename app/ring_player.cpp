#include <QAudioDevice>
#include <QFile>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>
#include <string_view>

#include "app/devices.h"
#include "app/ring_sound.h"

namespace quorell {

namespace {

class SoundEffectRingPlayer : public IRingPlayer {
public:
    void Play(const QString& wav_path) override {
        // Without the file or a sound device there is nothing to play, and nothing to say; nor
        // for a damaged file, which Qt's reader might never finish reading.
        QFile file(wav_path);
        if (!file.open(QIODevice::ReadOnly) || QMediaDevices::audioOutputs().isEmpty()) return;
        const QByteArray head = file.read(kRingSoundHeadBytes);
        const std::string_view bytes(head.constData(), static_cast<std::size_t>(head.size()));
        if (!RingSoundPlayable(bytes, static_cast<std::uint64_t>(file.size()))) return;
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
