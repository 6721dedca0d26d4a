#pragma once

#include <QDialog>
#include <vector>

#include "app/sound_devices.h"
#include "app/sound_server.h"
#include "audio/wave_format.h"

class QComboBox;
class QTreeWidget;

namespace quorell {

// The wave format chooser: a modal list of every format the program can record and play, one
// row each with its kind, rate, bits, channels and bytes per second. It opens on the row of the
// given format (8 kHz mono GSM 6.10 when that is not in the list).
class FormatChooserDialog : public QDialog {
public:
    explicit FormatChooserDialog(const WaveFormat& initial, QWidget* parent = nullptr);

    // The format of the selected row.
    WaveFormat Chosen() const;
    QTreeWidget* List() const { return list_; }

    // Adds the microphone and speaker boxes below the list: the desktop's default first, then
    // every device the server offers, opening on the current pick.
    void OfferDevices(const SoundServerDevices& server, const SoundDeviceChoice& current);
    // The devices selected in those boxes; nothing picked without them.
    SoundDeviceChoice PickedDevices() const;
    QComboBox* Microphones() const { return microphones_; }
    QComboBox* Speakers() const { return speakers_; }

private:
    std::vector<WaveFormat> formats_;
    QTreeWidget* list_;
    QComboBox* microphones_ = nullptr;
    QComboBox* speakers_ = nullptr;
};

}  // namespace quorell
