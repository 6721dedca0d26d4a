#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/ui_bridge.h"
#include "links/control_events.h"
#include "links/control_link.h"

namespace quorell::test {

// Control lines without sockets. What this side sends is recorded as the bytes the original
// protocol puts on the wire (the GBK line and CR LF) and, once a peer is connected, carried out
// on the peer's events by the dispatcher, as if it came from this side's address. Deliver()
// plays the peer: its lines are carried out on this side's events. Every effect runs through
// the bridge, inline when called on the thread that made the link.
class MemoryControlLink : public IControlLink {
public:
    explicit MemoryControlLink(std::shared_ptr<UiBridge> bridge = nullptr);

    // Sends unless the peer is unreachable; then counts the unreachable-peer box instead and
    // returns false.
    bool SendControlLine(const std::string& line) override;

    // Where sent lines are carried out, and the address they come from there.
    void ConnectPeer(IControlEvents& peer, std::string own_address = "127.0.0.1");
    // This side's events, which Deliver() reaches.
    void SetEvents(IControlEvents& events) { events_ = &events; }

    // One connection from the peer at source_address sending these lines (without line ends).
    // false when the dispatcher gave up on them (the server would end that connection).
    bool Deliver(const std::string& line, const std::string& source_address = "127.0.0.2");
    bool Deliver(std::deque<std::string> lines, const std::string& source_address = "127.0.0.2");

    // The bytes of every line sent so far, one entry per line.
    std::vector<std::string> Sent() const;
    int UnreachableBoxes() const;
    void SetPeerUnreachable(bool unreachable);

private:
    std::shared_ptr<UiBridge> bridge_;
    IControlEvents* events_ = nullptr;
    IControlEvents* peer_ = nullptr;
    std::string own_address_;
    mutable std::mutex mu_;
    std::vector<std::string> sent_;
    int unreachable_boxes_ = 0;
    bool peer_unreachable_ = false;
};

// Records every event as one text: "video-port 123", "voice-port 4321", "offered <source>",
// "cancelled", "video-closed", "connected <source>", "accepted <line>", "shown <line>".
class RecordingControlEvents : public IControlEvents {
public:
    void SetPeerVideoPort(long port) override { Note("video-port " + std::to_string(port)); }
    void SetPeerVoicePort(const std::string& port) override { Note("voice-port " + port); }
    void PeerOfferedFile(const std::string& source) override { Note("offered " + source); }
    void PeerCancelledFile() override { Note("cancelled"); }
    void PeerClosedVideo() override { Note("video-closed"); }
    void PeerConnected(const std::string& source) override { Note("connected " + source); }
    void PeerAcceptedFile(const std::string& line) override { Note("accepted " + line); }
    void ShowIncoming(const std::string& line) override { Note("shown " + line); }

    std::vector<std::string> events;

private:
    void Note(std::string event) { events.push_back(std::move(event)); }
};

}  // namespace quorell::test
