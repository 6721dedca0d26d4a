// The main window's side of voice: sending our recording, playing the peer's, the format
// chosen once a run, and the stream audio sink on its own port.
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cstdlib>

#include "app/control_lines.h"
#include "app/devices.h"
#include "app/dialogs.h"
#include "app/form1.h"
#include "app/qt_text.h"
#include "common/text.h"

namespace quorell {

namespace {

const QString kSendVoice = QStringLiteral("发送语音");
const QString kCancelVoice = QStringLiteral("取消语音");
const QString kReceiveVoice = QStringLiteral("接收语音");
const QString kCancelReceive = QStringLiteral("取消接收");
const QString kVoiceTypeBox = QStringLiteral("你选择的声音类型不符合程序要求，请使用默认值");

// A port box's text as a whole number: optional leading blanks and sign, then digits only.
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

}  // namespace

void TForm1::SetUpVoiceComponents() {
    IdUDPClient3.ReceiveTimeout = 20000;
    IdUDPClient3.BindAddress = config_.bind_address;
    IdUDPServer3.DefaultPort = 0;
    IdUDPServer3.BindAddress = config_.bind_address;
    IdUDPServer3.Bridge = bridge_;
    IdUDPServer3.OnUDPRead = [this](net::UdpServer& sender, std::string_view data,
                                    net::UdpBinding& binding) {
        IdUDPServer3UDPRead(sender, data, binding);
    };
    ACMWaveIn1.OnData = [this](const char* data, int size) { ACMWaveIn1Data(data, size); };
}

void TForm1::StartAudioSink() {
    ServerSocket1.Start(config_.bind_address, config_.audio_sink_port);
}

bool TForm1::ChooseFormat(WaveFormat& format) {
    return dialogs_.ChooseFormat(format);
}

void TForm1::BitBtn5Click() {
    if (BitBtn5->text() == kSendVoice) {
        IdUDPClient3.SetActive(false);
        IdUDPClient3.Host = Trimmed(ToGbk(Edit1->text()));
        IdUDPClient3.Port = IntegerOf(Trimmed(ToGbk(Edit4->text())));
        IdUDPClient3.SetActive(true);
        if (VoiceFormat == nullptr) {
            VoiceFormat = ACMDialog1.ChooseFormat(*this);
            if (VoiceFormat == nullptr) return;
        }
        ACMWaveOut1.Open(VoiceFormat);
        ACMWaveIn1.Open(VoiceFormat);
        if (!SendControlLine(lines::Wire(lines::kVoiceOffered))) return;
        if (!SendControlLine(lines::kVoicePortPrefix + Trimmed(ToGbk(Edit4->text())))) return;
        BitBtn5->setText(kCancelVoice);
        return;
    }
    BitBtn5->setText(kSendVoice);
    IdUDPClient3.SetActive(false);
    SendControlLine(lines::Wire(lines::kVoiceStopped));
}

void TForm1::BitBtn6Click() {
    if (BitBtn6->text() == kReceiveVoice) {
        IdUDPServer3.SetActive(false);
        IdUDPServer3.DefaultPort = IntegerOf(Trimmed(ToGbk(Edit5->text())));
        IdUDPServer3.SetActive(true);
        if (VoiceFormat == nullptr) {
            VoiceFormat = ACMDialog1.ChooseFormat(*this);
            if (VoiceFormat == nullptr) return;
        }
        ACMWaveOut1.Open(VoiceFormat);
        ACMWaveIn1.Open(VoiceFormat);
        if (!SendControlLine(lines::Wire(lines::kVoiceReceiving))) return;
        BitBtn6->setText(kCancelReceive);
        return;
    }
    BitBtn6->setText(kReceiveVoice);
    IdUDPServer3.SetActive(false);
    SendControlLine(lines::Wire(lines::kVoiceNotReceiving));
}

void TForm1::ACMWaveIn1Data(const char* data, int size) {
    if (BitBtn5->text() == kSendVoice) return;
    try {
        // A format of more than 8192 bytes a second goes out as several datagrams, each a
        // whole number of the format's blocks, so that nothing of the second is lost.
        const std::size_t cap = static_cast<std::size_t>(IdUDPClient3.BufferSize);
        const std::size_t block =
            VoiceFormat && VoiceFormat->nBlockAlign > 0 ? VoiceFormat->nBlockAlign : 1;
        const std::size_t piece = std::max(block, cap / block * block);
        const std::string host = ToGbk(Edit1->text());
        const int port = IntegerOf(ToGbk(Edit4->text()));
        const std::size_t total = size > 0 ? static_cast<std::size_t>(size) : 0;
        std::size_t at = 0;
        do {  // an empty block still goes out, as an empty datagram
            const std::size_t n = std::min({piece, cap, total - at});
            IdUDPClient3.SendBytesTo(host, port, data + at, n);
            at += n;
        } while (at < total);
    } catch (const std::exception&) {
        VoiceTypeBox();
    }
}

void TForm1::IdUDPServer3UDPRead(net::UdpServer&, std::string_view AData, net::UdpBinding&) {
    try {
        ACMWaveOut1.Play(AData.data(), static_cast<int>(AData.size()));
    } catch (const std::exception&) {
        VoiceTypeBox();
    }
}

void TForm1::VoiceTypeBox() {
    // One box at a time: recording goes on while it is open, and a failing block every second
    // must not pile boxes on top of each other.
    if (voice_box_open_) return;
    voice_box_open_ = true;
    dialogs_.ConfirmErrorBox(kVoiceTypeBox);
    voice_box_open_ = false;
}

}  // namespace quorell
