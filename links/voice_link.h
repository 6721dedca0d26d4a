#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace quorell {

// The wire voice travels on: recorded blocks out to the peer, the peer's blocks in. Every call
// happens on the user-interface thread, and so does every delivery.
class IVoiceLink {
public:
    // One block of the peer's voice, exactly as it came; valid during the call only.
    using BlockHandler = std::function<void(std::string_view block)>;

    virtual ~IVoiceLink();

    // The sending side toward the peer: opened on the address and port the sender announced,
    // closed at a cancel. Closing what is closed does nothing.
    virtual void OpenSending(const std::string& host, int port) = 0;
    virtual void CloseSending() = 0;
    // One block as one datagram to host:port. Throws when it cannot go out.
    virtual void SendBlock(const std::string& host, int port, std::string_view block) = 0;
    // The most bytes one block may have.
    virtual std::size_t MaxBlockSize() const = 0;

    // Listens on port of this machine and hands every block that arrives to on_block, until
    // StopReceiving. Throws when the port cannot be had. Stopping what is stopped does nothing.
    virtual void StartReceiving(int port, BlockHandler on_block) = 0;
    virtual void StopReceiving() = 0;
};

}  // namespace quorell
