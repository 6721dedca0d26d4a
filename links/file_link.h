#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorell {

// The sending side's way to the peer's file port, whichever wire carries it. The sender thread
// uses it one call at a time; Close (and Send) may come from another thread while a Receive
// waits, and the wait then ends at once.
class IFileLink {
public:
    virtual ~IFileLink();

    // The peer's host as the user typed it, for the next run and for a cancel that comes before
    // the run has resolved it (user-interface thread only).
    virtual void SetPeerHost(const std::string& host) = 0;
    virtual std::string PeerHost() const = 0;
    // Looks the host up, once per run and holding nothing (it may take a while). The answer is
    // where the run's datagrams go. Throws when the host is not found.
    virtual std::string Resolve(const std::string& host) = 0;

    // Makes ready to send and receive; Close undoes it, waking a waiting Receive.
    virtual void Open() = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;

    // One datagram to the peer's file port at `to` (an address Resolve gave, or a host). Throws
    // when it cannot be sent.
    virtual void Send(const std::string& to, std::string_view bytes) = 0;
    // The next datagram that reaches this side (an empty one too), or nothing when none came
    // within timeout_ms milliseconds. Throws when the link is closed under the wait.
    virtual std::optional<std::string> Receive(int timeout_ms) = 0;
    // How long a run waits for each reply before it gives up (milliseconds; negative: no limit).
    virtual int ReplyTimeout() const = 0;
};

// The receiving side: each datagram that reaches this side's file port, handed to the
// feature on the user-interface thread with the way to answer it. The reply goes from the
// file port back to where the datagram came from.
using FileDatagramReply = std::function<void(std::string_view reply)>;

}  // namespace quorell
