#include "support/memory_control_link.h"

#include "common/window_ref.h"
#include "links/control_dispatcher.h"
#include "links/line_source.h"

namespace quorell::test {
namespace {

bool Dispatch(UiBridge& bridge, IControlEvents* events, std::deque<std::string> lines,
              const std::string& source_address) {
    if (events == nullptr) return true;
    LineFeed feed(std::move(lines), source_address);
    const WindowRef<IControlEvents> target(events);
    try {
        DispatchLines(feed, bridge, target);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

}  // namespace

MemoryControlLink::MemoryControlLink(std::shared_ptr<UiBridge> bridge)
    : bridge_(bridge ? std::move(bridge) : std::make_shared<UiBridge>(nullptr)) {}

bool MemoryControlLink::SendControlLine(const std::string& line) {
    IControlEvents* peer = nullptr;
    std::string from;
    {
        std::lock_guard lock(mu_);
        if (peer_unreachable_) {
            ++unreachable_boxes_;
            return false;
        }
        sent_.push_back(line + "\r\n");
        peer = peer_;
        from = own_address_;
    }
    Dispatch(*bridge_, peer, {line}, from);
    return true;
}

void MemoryControlLink::ConnectPeer(IControlEvents& peer, std::string own_address) {
    std::lock_guard lock(mu_);
    peer_ = &peer;
    own_address_ = std::move(own_address);
}

bool MemoryControlLink::Deliver(const std::string& line, const std::string& source_address) {
    return Deliver(std::deque<std::string>{line}, source_address);
}

bool MemoryControlLink::Deliver(std::deque<std::string> lines, const std::string& source_address) {
    return Dispatch(*bridge_, events_, std::move(lines), source_address);
}

std::vector<std::string> MemoryControlLink::Sent() const {
    std::lock_guard lock(mu_);
    return sent_;
}

void MemoryControlLink::SetPeerUnreachable(bool unreachable) {
    std::lock_guard lock(mu_);
    peer_unreachable_ = unreachable;
}

int MemoryControlLink::UnreachableBoxes() const {
    std::lock_guard lock(mu_);
    return unreachable_boxes_;
}

}  // namespace quorell::test
