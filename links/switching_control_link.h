#pragma once

#include <memory>
#include <mutex>

#include "links/control_link.h"

namespace quorell {

// The control link every feature holds: it forwards to the link of the open session while
// there is one, and to the plain link otherwise. Safe to use from any thread; a line already
// on its way finishes on the link it started on.
class SwitchingControlLink : public IControlLink {
public:
    explicit SwitchingControlLink(std::shared_ptr<IControlLink> plain) : plain_(std::move(plain)) {}

    bool SendControlLine(const std::string& line) override;

    // From now on lines go over `link`; nullptr returns them to the plain link.
    void Switch(std::shared_ptr<IControlLink> link);
    bool Switched() const;

private:
    std::shared_ptr<IControlLink> Current() const;

    const std::shared_ptr<IControlLink> plain_;
    mutable std::mutex mu_;
    std::shared_ptr<IControlLink> session_;
};

}  // namespace quorell
