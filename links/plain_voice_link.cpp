#include "links/plain_voice_link.h"

#include <algorithm>
#include <utility>

namespace quorell {

IVoiceLink::~IVoiceLink() = default;

void PlainVoiceLink::OpenSending(const std::string& host, int port) {
    sender_.SetActive(false);
    sender_.Host = host;
    sender_.Port = port;
    sender_.SetActive(true);
}

void PlainVoiceLink::CloseSending() {
    sender_.SetActive(false);
}

void PlainVoiceLink::SendBlock(const std::string& host, int port, std::string_view block) {
    sender_.SendBytesTo(host, port, block.data(), block.size());
}

std::size_t PlainVoiceLink::MaxBlockSize() const {
    return static_cast<std::size_t>(std::max(sender_.BufferSize, 1));
}

void PlainVoiceLink::StartReceiving(int port, BlockHandler on_block) {
    receiver_.SetActive(false);
    receiver_.DefaultPort = port;
    on_block_ = std::move(on_block);
    receiver_.SetActive(true);
}

void PlainVoiceLink::StopReceiving() {
    receiver_.SetActive(false);
}

void PlainVoiceLink::Received(std::string_view datagram) {
    // A copy: the handler may show a modal box, in which the user can stop and start again.
    const BlockHandler handler = on_block_;
    if (handler) handler(datagram);
}

}  // namespace quorell
