#include "media/video_ladder.h"

#include <algorithm>
#include <cmath>

namespace quorell::media {

VideoLadder::VideoLadder(int width, int height, int fps, int kbps) {
    const int half_fps = std::max(1, fps / 2);
    // Sizes stay even, as the encoder's 4:2:0 pictures need.
    const int quarter_w = std::max(2, width / 2 / 2 * 2);
    const int quarter_h = std::max(2, height / 2 / 2 * 2);
    steps_ = {{width, height, fps, kbps},
              {width, height, half_fps, std::max(1, kbps / 2)},
              {quarter_w, quarter_h, half_fps, std::max(1, kbps / 4)}};
}

std::optional<VideoStep> VideoLadder::Report(double fraction_lost) {
    if (!std::isfinite(fraction_lost)) return std::nullopt;
    if (fraction_lost > kDownLoss) {
        clean_ = 0;
        if (++lossy_ >= kDownReports && level_ + 1 < steps_.size()) {
            lossy_ = 0;
            ++level_;
            return Current();
        }
    } else if (fraction_lost < kUpLoss) {
        lossy_ = 0;
        if (++clean_ >= kUpReports && level_ > 0) {
            clean_ = 0;
            --level_;
            return Current();
        }
    } else {
        lossy_ = 0;
        clean_ = 0;
    }
    return std::nullopt;
}

}  // namespace quorell::media
