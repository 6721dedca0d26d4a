#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "links/voice_link.h"

namespace quorell::test {

// Voice without sockets: keeps every block sent, with its target, and hands blocks to the
// receiving side as if the peer had sent them. Runs in the caller's thread.
class MemoryVoiceLink final : public IVoiceLink {
public:
    struct Datagram {
        std::string host;
        int port = 0;
        std::string bytes;
    };

    void OpenSending(const std::string& host, int port) override;
    void CloseSending() override;
    void SendBlock(const std::string& host, int port, std::string_view block) override;
    std::size_t MaxBlockSize() const override { return max_block; }
    void StartReceiving(int port, BlockHandler on_block) override;
    void StopReceiving() override;

    // A block from the peer: handed over while receiving (true), dropped otherwise (false).
    bool Deliver(std::string_view block);

    std::vector<Datagram> sent;
    std::size_t max_block = 8192;
    // Set, the next sends or starts of receiving throw it as their failure.
    std::optional<std::string> send_failure;
    std::optional<std::string> bind_failure;

    // The sending side: open, and where it was opened last.
    bool sending_open = false;
    std::string open_host;
    int open_port = 0;
    // The receiving side: listening, and on which port last.
    bool receiving = false;
    int receive_port = 0;

private:
    BlockHandler on_block_;
};

}  // namespace quorell::test
