// The steps of the video a call sends, moved by the peer's loss reports.
#include "media/video_ladder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quorell::media {
namespace {

TEST(MediaVideoLadder, StepsDownOnSustainedLossAndBackUpWhenClean) {
    VideoLadder ladder(640, 480, 30, 1500);
    EXPECT_EQ(ladder.Current(), (VideoStep{640, 480, 30, 1500}));
    // One lossy report alone, or lossy reports broken by a middling one, change nothing.
    EXPECT_EQ(ladder.Report(0.2), std::nullopt);
    EXPECT_EQ(ladder.Report(0.03), std::nullopt);
    EXPECT_EQ(ladder.Report(0.2), std::nullopt);
    EXPECT_EQ(ladder.Report(0.2), (VideoStep{640, 480, 15, 750}));
    EXPECT_EQ(ladder.Report(0.2), std::nullopt);
    EXPECT_EQ(ladder.Report(0.2), (VideoStep{320, 240, 15, 375}));
    // The bottom step holds however bad it gets.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(ladder.Report(1.0), std::nullopt);
    EXPECT_EQ(ladder.Level(), 2u);
    // Up again only after a long clean run; one lossy report starts the count again.
    for (int i = 0; i < VideoLadder::kUpReports - 1; ++i) EXPECT_EQ(ladder.Report(0), std::nullopt);
    EXPECT_EQ(ladder.Report(0.5), std::nullopt);
    for (int i = 0; i < VideoLadder::kUpReports - 1; ++i) EXPECT_EQ(ladder.Report(0), std::nullopt);
    EXPECT_EQ(ladder.Report(0), (VideoStep{640, 480, 15, 750}));
    for (int i = 0; i < VideoLadder::kUpReports - 1; ++i) EXPECT_EQ(ladder.Report(0), std::nullopt);
    EXPECT_EQ(ladder.Report(0), (VideoStep{640, 480, 30, 1500}));
    for (int i = 0; i < 30; ++i) EXPECT_EQ(ladder.Report(0), std::nullopt);
}

TEST(MediaVideoLadder, ReportsThatAreNotNumbersAreIgnoredAndSizesStayEven) {
    VideoLadder ladder(642, 362, 1, 1);
    EXPECT_EQ(ladder.Report(std::nan("")), std::nullopt);
    EXPECT_EQ(ladder.Report(std::numeric_limits<double>::infinity()), std::nullopt);
    EXPECT_EQ(ladder.Report(std::numeric_limits<double>::infinity()), std::nullopt);
    EXPECT_EQ(ladder.Level(), 0u);
    ladder.Report(1);
    ladder.Report(1);
    ladder.Report(1);
    ladder.Report(1);
    // Half of 642 is odd; the encoder needs even sizes, and never a rate of zero.
    EXPECT_EQ(ladder.Current(), (VideoStep{320, 180, 1, 1}));
}

}  // namespace
}  // namespace quorell::media
