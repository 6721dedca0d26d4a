#include "audio/voice_controller.h"

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

bool VoiceController::EnsureFormatAndOpen() {
    if (format_ == nullptr) {
        format_ = chooser_.ChooseFormat(window_);
        if (format_ == nullptr) return false;
    }
    wave_out_.Open(format_);
    wave_in_.Open(format_);
    return true;
}

void VoiceController::SetSending(bool sending) {
    sending_ = sending;
    window_.SetSendVoiceCaption(sending_ ? kCancelVoice : kSendVoice);
}

void VoiceController::SetReceiving(bool receiving) {
    receiving_ = receiving;
    window_.SetReceiveVoiceCaption(receiving_ ? kCancelReceive : kReceiveVoice);
}

void VoiceController::SendButton() {
    if (!sending_) {
        link_.CloseSending();
        const std::string host = Trimmed(window_.PeerAddressAsTyped());
        link_.OpenSending(host, IntegerOf(Trimmed(window_.LocalVoicePort())));
        if (!EnsureFormatAndOpen()) return;
        if (!control_.SendControlLine(Encode(LineKind::VoiceOffered))) return;
        if (!control_.SendControlLine(Encode(LineKind::VoicePort, window_.LocalVoicePort()))) {
            return;
        }
        SetSending(true);
        return;
    }
    SetSending(false);
    link_.CloseSending();
    control_.SendControlLine(Encode(LineKind::VoiceStopped));
}

void VoiceController::ReceiveButton() {
    if (!receiving_) {
        link_.StopReceiving();
        link_.StartReceiving(IntegerOf(Trimmed(peer_voice_port_)),
                             [this](std::string_view block) { OnBlock(block); });
        if (!EnsureFormatAndOpen()) return;
        if (!control_.SendControlLine(Encode(LineKind::VoiceReceiving))) return;
        SetReceiving(true);
        return;
    }
    SetReceiving(false);
    link_.StopReceiving();
    control_.SendControlLine(Encode(LineKind::VoiceNotReceiving));
}

void VoiceController::PeerToldVoicePort(const std::string& port) {
    peer_voice_port_ = port;
    window_.ShowPeerVoicePort(peer_voice_port_);
}

void VoiceController::OnRecorded(const char* data, int size) {
    if (!sending_) return;
    try {
        // A format of more than the link's size a second goes out as several blocks, each a
        // whole number of the format's blocks, so that nothing of the second is lost.
        const std::size_t cap = std::max<std::size_t>(link_.MaxBlockSize(), 1);
        const std::size_t block =
            format_ != nullptr && format_->nBlockAlign > 0 ? format_->nBlockAlign : 1;
        const std::size_t piece = std::max(block, cap / block * block);
        const std::string host = window_.PeerAddressAsTyped();
        const int port = IntegerOf(window_.LocalVoicePort());
        const std::size_t total = size > 0 ? static_cast<std::size_t>(size) : 0;
        std::size_t at = 0;
        do {  // an empty block still goes out, as an empty datagram
            const std::size_t n = std::min({piece, cap, total - at});
            link_.SendBlock(host, port, std::string_view(data + at, n));
            at += n;
        } while (at < total);
    } catch (const std::exception&) {
        window_.VoiceTypeBox();
    }
}

void VoiceController::OnBlock(std::string_view block) {
    try {
        wave_out_.Play(block.data(), static_cast<int>(block.size()));
    } catch (const std::exception&) {
        window_.VoiceTypeBox();
    }
}

}  // namespace quorell
