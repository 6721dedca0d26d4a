#include "links/video_link.h"

namespace quorell {

IVideoLink::~IVideoLink() = default;

}  // namespace quorell
