#include "support/memory_voice_link.h"

#include <utility>

#include "common/errors.h"

namespace quorell::test {

void MemoryVoiceLink::OpenSending(const std::string& host, int port) {
    sending_open = true;
    open_host = host;
    open_port = port;
}

void MemoryVoiceLink::CloseSending() {
    sending_open = false;
}

void MemoryVoiceLink::SendBlock(const std::string& host, int port, std::string_view block) {
    if (send_failure) throw Error(*send_failure);
    if (block.size() > max_block) throw Error("Package Size Too Big.");
    sent.push_back({host, port, std::string(block)});
}

void MemoryVoiceLink::StartReceiving(int port, BlockHandler on_block) {
    receiving = false;
    receive_port = port;
    if (bind_failure) throw Error(*bind_failure);
    on_block_ = std::move(on_block);
    receiving = true;
}

void MemoryVoiceLink::StopReceiving() {
    receiving = false;
}

bool MemoryVoiceLink::Deliver(std::string_view block) {
    if (!receiving || !on_block_) return false;
    const BlockHandler handler = on_block_;
    handler(block);
    return true;
}

}  // namespace quorell::test
