#pragma once

#include <optional>
#include <vector>

// How much video a call sends when the link cannot carry all of it. Pure: no GStreamer.
namespace quorell::media {

struct VideoStep {
    int width = 0;
    int height = 0;
    int fps = 0;
    int kbps = 0;
    bool operator==(const VideoStep&) const = default;
};

// The steps from the configured size and rate down: the full picture, then half the frames,
// then a quarter of the picture at half the frames, each with its share of the bit rate.
// Reports of the peer's reception, one about every second, move it: a step down after two
// reports in a row that lost more than kDownLoss of the packets, a step up again after
// kUpReports in a row that lost less than kUpLoss.
class VideoLadder {
public:
    static constexpr double kDownLoss = 0.05;
    static constexpr double kUpLoss = 0.01;
    static constexpr int kDownReports = 2;
    static constexpr int kUpReports = 10;

    VideoLadder(int width, int height, int fps, int kbps);

    // The fraction of our video packets the peer lost since its last report (0 to 1). Returns
    // the new step when this report changes it.
    std::optional<VideoStep> Report(double fraction_lost);
    const VideoStep& Current() const { return steps_[level_]; }
    std::size_t Level() const { return level_; }

private:
    std::vector<VideoStep> steps_;
    std::size_t level_ = 0;
    int lossy_ = 0;
    int clean_ = 0;
};

}  // namespace quorell::media
