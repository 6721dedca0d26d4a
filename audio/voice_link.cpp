#include "audio/voice_link.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "common/errors.h"
#include "common/gbk.h"
#include "common/text.h"
#include "protocol/control_lines.h"

namespace quorell {

using protocol::Encode;
using protocol::LineKind;

namespace {

const QString kSendVoice = QStringLiteral("发送语音");
const QString kCancelVoice = QStringLiteral("取消语音");
const QString kReceiveVoice = QStringLiteral("接收语音");
const QString kCancelReceive = QStringLiteral("取消接收");

}  // namespace

int IntegerOf(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    std::size_t digits = i;
    if (digits < text.size() && (text[digits] == '+' || text[digits] == '-')) ++digits;
    bool ok = digits < text.size();
    for (std::size_t k = digits; k < text.size() && ok; ++k) ok = text[k] >= '0' && text[k] <= '9';
    const long long value = ok ? std::strtoll(text.c_str() + i, nullptr, 10) : 0;
    if (!ok || value < INT_MIN || value > INT_MAX) {
        throw Error("'" + text + "' is not a valid integer value");
    }
    return static_cast<int>(value);
}

bool VoiceLink::EnsureFormatAndOpen() {
    if (format_ == nullptr) {
        format_ = chooser_.ChooseFormat(window_);
        if (format_ == nullptr) return false;
    }
    wave_out_.Open(format_);
    wave_in_.Open(format_);
    return true;
}

void VoiceLink::SendButton() {
    if (!sending_) {
        sender_.SetActive(false);
        sender_.Host = Trimmed(window_.PeerAddressAsTyped());
        sender_.Port = IntegerOf(Trimmed(window_.LocalVoicePort()));
        sender_.SetActive(true);
        if (!EnsureFormatAndOpen()) return;
        if (!window_.SendControlLine(Encode(LineKind::VoiceOffered))) return;
        if (!window_.SendControlLine(Encode(LineKind::VoicePort, window_.LocalVoicePort()))) return;
        sending_ = true;
        window_.SetSendVoiceCaption(kCancelVoice);
        return;
    }
    sending_ = false;
    window_.SetSendVoiceCaption(kSendVoice);
    sender_.SetActive(false);
    window_.SendControlLine(Encode(LineKind::VoiceStopped));
}

void VoiceLink::ReceiveButton() {
    if (!receiving_) {
        receiver_.SetActive(false);
        receiver_.DefaultPort = IntegerOf(Trimmed(window_.PeerVoicePort()));
        receiver_.SetActive(true);
        if (!EnsureFormatAndOpen()) return;
        if (!window_.SendControlLine(Encode(LineKind::VoiceReceiving))) return;
        receiving_ = true;
        window_.SetReceiveVoiceCaption(kCancelReceive);
        return;
    }
    receiving_ = false;
    window_.SetReceiveVoiceCaption(kReceiveVoice);
    receiver_.SetActive(false);
    window_.SendControlLine(Encode(LineKind::VoiceNotReceiving));
}

void VoiceLink::OnRecorded(const char* data, int size) {
    if (!sending_) return;
    try {
        // A format of more than 8192 bytes a second goes out as several datagrams, each a
        // whole number of the format's blocks, so that nothing of the second is lost.
        const std::size_t cap = static_cast<std::size_t>(std::max(sender_.BufferSize, 1));
        const std::size_t block =
            format_ != nullptr && format_->nBlockAlign > 0 ? format_->nBlockAlign : 1;
        const std::size_t piece = std::max(block, cap / block * block);
        const std::string host = window_.PeerAddressAsTyped();
        const int port = IntegerOf(window_.LocalVoicePort());
        const std::size_t total = size > 0 ? static_cast<std::size_t>(size) : 0;
        std::size_t at = 0;
        do {  // an empty block still goes out, as an empty datagram
            const std::size_t n = std::min({piece, cap, total - at});
            sender_.SendBytesTo(host, port, data + at, n);
            at += n;
        } while (at < total);
    } catch (const std::exception&) {
        window_.VoiceTypeBox();
    }
}

void VoiceLink::OnDatagram(std::string_view data) {
    try {
        wave_out_.Play(data.data(), static_cast<int>(data.size()));
    } catch (const std::exception&) {
        window_.VoiceTypeBox();
    }
}

}  // namespace quorell
