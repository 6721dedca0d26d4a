#pragma once

#include <QDialog>
#include <vector>

#include "audio/wave_format.h"

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

private:
    std::vector<WaveFormat> formats_;
    QTreeWidget* list_;
};

}  // namespace quorell
