// The transfer speed figures: the sliding rate, the time left, the average and their texts.
#include "app/transfer_speed.h"

#include <gtest/gtest.h>

namespace quorell {
namespace {

using Clock = TransferSpeed::Clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(TransferSpeedTest, RateFollowsTheLastWindowAndTimeLeftFollowsTheRate) {
    TransferSpeed speed(seconds(3));
    const Clock::time_point t0{};
    speed.Start(t0, 10'000'000);
    EXPECT_FALSE(speed.Rate());  // nothing measured yet
    EXPECT_EQ(speed.Summary(), "");
    speed.Sample(t0 + milliseconds(100), 100'000);
    EXPECT_FALSE(speed.Rate()) << "a tenth of a second is no measure";

    // 1 MB/s for four seconds, then 100 kB/s: after three slow seconds only they count.
    for (int s = 1; s <= 4; ++s) speed.Sample(t0 + seconds(s), s * 1'000'000);
    ASSERT_TRUE(speed.Rate());
    EXPECT_NEAR(*speed.Rate(), 1'000'000, 1);
    EXPECT_EQ(speed.SecondsLeft(), 6);
    EXPECT_EQ(speed.Summary(), "1.0 MB/s \xC2\xB7 剩余 0:06");
    for (int s = 5; s <= 7; ++s) speed.Sample(t0 + seconds(s), 4'000'000 + (s - 4) * 100'000);
    EXPECT_NEAR(*speed.Rate(), 100'000, 1);
    EXPECT_EQ(speed.SecondsLeft(), 57);  // 5.7 MB at 100 kB/s
    // A stall brings the rate to zero and leaves no estimate.
    for (int s = 8; s <= 11; ++s) speed.Sample(t0 + seconds(s), 4'300'000);
    EXPECT_EQ(*speed.Rate(), 0);
    EXPECT_FALSE(speed.SecondsLeft());
    EXPECT_EQ(speed.Summary(), "0 B/s");
}

TEST(TransferSpeedTest, AverageCoversTheWholeTransferFromItsStart) {
    TransferSpeed speed(seconds(1));
    const Clock::time_point t0 = Clock::now();
    speed.Start(t0, 3'000, 1'000);  // measured from the first chunk, already counted
    EXPECT_FALSE(speed.AverageRate());
    speed.Sample(t0 + seconds(1), 1'500);
    speed.Sample(t0 + seconds(4), 3'000);
    speed.Stop();
    ASSERT_TRUE(speed.AverageRate());
    EXPECT_NEAR(*speed.AverageRate(), 500, 1e-9);
    EXPECT_FALSE(speed.Running());
    EXPECT_EQ(speed.SecondsLeft(), 0);
}

TEST(TransferSpeedTest, OddInputGivesNoNonsense) {
    TransferSpeed speed(seconds(3));
    const Clock::time_point t0{};
    // Unknown length: a rate, never a time left.
    speed.Start(t0, -1);
    speed.Sample(t0 + seconds(2), 4'000);
    EXPECT_NEAR(*speed.Rate(), 2'000, 1e-9);
    EXPECT_FALSE(speed.SecondsLeft());
    // A count that goes back is a new file: measured afresh, not a negative rate.
    speed.Sample(t0 + seconds(3), 10);
    EXPECT_FALSE(speed.Rate());
    speed.Sample(t0 + seconds(4), 1'010);
    EXPECT_NEAR(*speed.Rate(), 1'000, 1e-9);
    EXPECT_NEAR(*speed.AverageRate(), 1'000, 1e-9);
    // A clock that steps back is held where it was.
    speed.Sample(t0 + seconds(1), 2'010);
    EXPECT_GE(*speed.Rate(), 0);
    // A crawl on a huge file has no estimate rather than years.
    TransferSpeed slow(seconds(3));
    slow.Start(t0, 2'000'000'000);
    slow.Sample(t0 + seconds(3), 3);
    EXPECT_FALSE(slow.SecondsLeft());
}

TEST(TransferSpeedTest, TextsOfRatesAndTimes) {
    EXPECT_EQ(FormatRate(0), "0 B/s");
    EXPECT_EQ(FormatRate(-5), "0 B/s");
    EXPECT_EQ(FormatRate(std::numeric_limits<double>::infinity()), "0 B/s");
    EXPECT_EQ(FormatRate(std::numeric_limits<double>::quiet_NaN()), "0 B/s");
    EXPECT_EQ(FormatRate(512), "512 B/s");
    EXPECT_EQ(FormatRate(999.4), "999 B/s");
    EXPECT_EQ(FormatRate(999.96), "1.0 kB/s");
    EXPECT_EQ(FormatRate(12'500), "12.5 kB/s");
    EXPECT_EQ(FormatRate(1'234'567), "1.2 MB/s");
    EXPECT_EQ(FormatRate(99'960'000), "100 MB/s");
    EXPECT_EQ(FormatRate(850e6), "850 MB/s");
    EXPECT_EQ(FormatRate(999'960'000), "1.0 GB/s");
    EXPECT_EQ(FormatRate(5e18), "5.0 EB/s");

    EXPECT_EQ(FormatTimeLeft(0), "剩余 0:00");
    EXPECT_EQ(FormatTimeLeft(42), "剩余 0:42");
    EXPECT_EQ(FormatTimeLeft(725), "剩余 12:05");
    EXPECT_EQ(FormatTimeLeft(3723), "剩余 1:02:03");
    EXPECT_EQ(FormatTimeLeft(-3), "剩余 0:00");
}

}  // namespace
}  // namespace quorell
