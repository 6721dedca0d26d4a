#include "audio/format_chooser.h"

namespace quorell {

const WaveFormat* TACMDialog::ChooseFormat(IChooser& chooser) {
    if (!record_) record_ = std::make_unique<WaveFormat>(Gsm610Format(8000));
    // The chooser works on a copy, so a cancelled dialog leaves the last confirmed choice.
    WaveFormat choice = *record_;
    if (!chooser.ChooseFormat(choice)) return nullptr;
    *record_ = std::move(choice);
    return record_.get();
}

}  // namespace quorell
