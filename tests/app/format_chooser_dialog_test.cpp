// The format chooser as the user sees it (offscreen).
#include <gtest/gtest.h>

#include <QTreeWidget>

#include "app/format_chooser_dialog.h"

namespace quorell::test {
namespace {

TEST(FormatChooserDialog, ListsEveryFormatReadablyAndOpensOnTheRecord) {
    // The preset of the run matches no real format: the dialog opens on GSM 6.10.
    WaveFormat preset;
    preset.wFormatTag = kWaveFormatGsm610;
    preset.nChannels = 1;
    preset.nSamplesPerSec = 8000;
    preset.nAvgBytesPerSec = 8000;
    preset.nBlockAlign = 1;
    preset.wBitsPerSample = 8;
    FormatChooserDialog first(preset);
    ASSERT_EQ(first.List()->topLevelItemCount(), static_cast<int>(SupportedFormats().size()));
    EXPECT_EQ(first.Chosen(), Gsm610Format());
    const QTreeWidgetItem* row = first.List()->currentItem();
    ASSERT_NE(row, nullptr);
    EXPECT_TRUE(row->text(0).contains(QStringLiteral("GSM 6.10")));
    EXPECT_TRUE(row->text(4).contains(QStringLiteral("1625")));

    // A confirmed record opens on its own row.
    const WaveFormat pcm = PcmFormat(22050, 16, 2);
    FormatChooserDialog again(pcm);
    EXPECT_EQ(again.Chosen(), pcm);
}

}  // namespace
}  // namespace quorell::test
