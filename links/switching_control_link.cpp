#include "links/switching_control_link.h"

#include <utility>

namespace quorell {

bool SwitchingControlLink::SendControlLine(const std::string& line) {
    return Current()->SendControlLine(line);
}

void SwitchingControlLink::Switch(std::shared_ptr<IControlLink> link) {
    std::lock_guard lock(mu_);
    session_ = std::move(link);
}

bool SwitchingControlLink::Switched() const {
    std::lock_guard lock(mu_);
    return session_ != nullptr;
}

std::shared_ptr<IControlLink> SwitchingControlLink::Current() const {
    std::lock_guard lock(mu_);
    return session_ ? session_ : plain_;
}

}  // namespace quorell
