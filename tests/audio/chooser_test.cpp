#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <vector>

#include "audio/format_chooser.h"

namespace quorell {
namespace {

// Notes the format each showing opens on and answers from a queue (nullopt cancels). A
// cancelled showing scribbles on the record first, as a dialog may.
struct ScriptedChooser : IChooser {
    bool ChooseFormat(WaveFormat& format) override {
        shown.push_back(format);
        std::optional<WaveFormat> answer = answers.front();
        answers.pop_front();
        if (!answer) {
            format = PcmFormat(44100, 16, 2);
            return false;
        }
        format = *answer;
        return true;
    }
    std::deque<std::optional<WaveFormat>> answers;
    std::vector<WaveFormat> shown;
};

TEST(FormatChooser, KeepsOneRecordAndReopensOnTheLastConfirmedChoice) {
    TACMDialog dialog;
    ScriptedChooser chooser;
    chooser.answers = {PcmFormat(8000, 8, 1), std::nullopt, ALawFormat(8000, 1), std::nullopt};

    const WaveFormat* first = dialog.ChooseFormat(chooser);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(*first, PcmFormat(8000, 8, 1));

    EXPECT_EQ(dialog.ChooseFormat(chooser), nullptr);
    EXPECT_EQ(*first, PcmFormat(8000, 8, 1));  // the cancelled showing changed nothing

    EXPECT_EQ(dialog.ChooseFormat(chooser), first);
    EXPECT_EQ(*first, ALawFormat(8000, 1));
    EXPECT_EQ(dialog.ChooseFormat(chooser), nullptr);

    ASSERT_EQ(chooser.shown.size(), 4u);
    EXPECT_EQ(chooser.shown[0], Gsm610Format(8000));  // 8 kHz mono GSM 6.10 at first
    EXPECT_EQ(chooser.shown[1], PcmFormat(8000, 8, 1));
    EXPECT_EQ(chooser.shown[2], PcmFormat(8000, 8, 1));
    EXPECT_EQ(chooser.shown[3], ALawFormat(8000, 1));
}

TEST(FormatChooser, CancelledFirstShowingOpensOnTheDefaultAgain) {
    TACMDialog dialog;
    ScriptedChooser chooser;
    chooser.answers = {std::nullopt, Gsm610Format(8000)};
    EXPECT_EQ(dialog.ChooseFormat(chooser), nullptr);
    const WaveFormat* chosen = dialog.ChooseFormat(chooser);
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(chooser.shown[1], Gsm610Format(8000));
    EXPECT_TRUE(IsSupported(*chosen));
}

}  // namespace
}  // namespace quorell
