#include "app/sound_devices.h"

#include <QList>
#include <QMediaDevices>

#include "app/sound_server.h"

namespace quorell {
namespace {

QAudioDevice Named(const QList<QAudioDevice>& devices, const std::string& name) {
    if (name.empty()) return {};
    const QByteArray id = QByteArray::fromStdString(name);
    for (const QAudioDevice& device : devices) {
        if (device.id() == id) return device;
    }
    return {};
}

// Qt Multimedia's own default is the first device, whatever the desktop chose, so the sound
// server is asked which one that is.
QAudioDevice Pick(const QList<QAudioDevice>& devices, const std::string& picked,
                  std::string SoundServerDevices::*server_default, const QAudioDevice& fallback) {
    if (devices.isEmpty()) return fallback;  // no server, or one without such devices
    if (QAudioDevice device = Named(devices, picked); !device.isNull()) return device;
    if (QAudioDevice device = Named(devices, AskSoundServer().*server_default); !device.isNull())
        return device;
    return fallback;
}

}  // namespace

QAudioDevice AudioInputFor(const SoundDeviceChoice* choice) {
    return Pick(QMediaDevices::audioInputs(), choice != nullptr ? choice->input : std::string(),
                &SoundServerDevices::default_source, QMediaDevices::defaultAudioInput());
}

QAudioDevice AudioOutputFor(const SoundDeviceChoice* choice) {
    return Pick(QMediaDevices::audioOutputs(), choice != nullptr ? choice->output : std::string(),
                &SoundServerDevices::default_sink, QMediaDevices::defaultAudioOutput());
}

}  // namespace quorell
