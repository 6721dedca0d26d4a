#pragma once

#include <memory>

#include "audio/wave_format.h"

namespace quorell {

// The dialog that lets the user pick a wave format: it opens on the format it is given and, when
// the user confirms, writes the choice into it and returns true.
class IChooser {
public:
    virtual ~IChooser() = default;
    virtual bool ChooseFormat(WaveFormat& format) = 0;
};

// Lets the user pick the voice format and keeps the choice in one record for the whole run.
class TACMDialog {
public:
    // Shows the chooser on the record's format (8 kHz mono GSM 6.10 the first time). On
    // confirmation returns the record, the same one on every call; otherwise nullptr, and the
    // record keeps the last confirmed choice.
    const WaveFormat* ChooseFormat(IChooser& chooser);

private:
    std::unique_ptr<WaveFormat> record_;  // created on the first call, kept for the run
};

}  // namespace quorell
