// The format chooser as the user sees it (offscreen).
#include <gtest/gtest.h>

#include <QComboBox>
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

TEST(FormatChooserDialog, OffersTheDesktopsDefaultThenEveryDeviceAndOpensOnThePick) {
    SoundServerDevices server;
    server.reached = true;
    server.default_source = "usb_cam";
    server.default_sink = "speakers";
    server.sources = {{"headset", "Headset Microphone"}, {"usb_cam", "Webcam"}};
    server.sinks = {{"speakers", "Speakers"}};

    FormatChooserDialog dialog(Gsm610Format());
    EXPECT_EQ(dialog.PickedDevices(), SoundDeviceChoice{});  // no boxes, nothing picked
    dialog.OfferDevices(server, SoundDeviceChoice{"headset", ""});
    QComboBox* microphones = dialog.Microphones();
    ASSERT_EQ(microphones->count(), 3);
    EXPECT_TRUE(microphones->itemText(0).contains(QStringLiteral("Webcam")));
    EXPECT_EQ(microphones->itemText(1), QStringLiteral("Headset Microphone"));
    EXPECT_EQ(dialog.PickedDevices(), (SoundDeviceChoice{"headset", ""}));
    microphones->setCurrentIndex(0);
    dialog.Speakers()->setCurrentIndex(1);
    EXPECT_EQ(dialog.PickedDevices(), (SoundDeviceChoice{"", "speakers"}));
    // The format list is as it was.
    EXPECT_EQ(dialog.Chosen(), Gsm610Format());

    // No server: only the default to choose, and a pick of a device now gone falls back to it.
    FormatChooserDialog alone(Gsm610Format());
    alone.OfferDevices(SoundServerDevices{}, SoundDeviceChoice{"headset", "speakers"});
    EXPECT_EQ(alone.Microphones()->count(), 1);
    EXPECT_EQ(alone.PickedDevices(), SoundDeviceChoice{});
}

}  // namespace
}  // namespace quorell::test
