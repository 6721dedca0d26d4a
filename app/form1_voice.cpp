// The main window's side of voice: sending our recording, playing the peer's, the format
// chosen once a run, and the stream audio sink on its own port.
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "app/devices.h"
#include "app/dialogs.h"
#include "app/form1.h"
#include "app/form1_calls_view.h"
#include "app/qt_text.h"
#include "common/text.h"
#include "protocol/control_lines.h"

namespace quorell {

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
    if (calls_view_->VoiceSendPressed()) return;  // over a session with calls
    voice_.SendButton();
}

void TForm1::BitBtn6Click() {
    if (calls_view_->VoiceReceivePressed()) return;
    voice_.ReceiveButton();
}

void TForm1::Button8Click() {
    calls_view_->MutePressed(Button8->isChecked());
}

void TForm1::ACMWaveIn1Data(const char* data, int size) {
    voice_.OnRecorded(data, size);
}

void TForm1::IdUDPServer3UDPRead(net::UdpServer&, std::string_view AData, net::UdpBinding&) {
    voice_link_.Received(AData);
}

void TForm1::SetPeerVoicePort(const std::string& port) {
    voice_.PeerToldVoicePort(port);
    TellUser(QString::fromUtf8(lines::kVoiceOffered));
}

std::string TForm1::LocalVoicePort() {
    return ToGbk(Edit4->text());
}

void TForm1::ShowPeerVoicePort(const std::string& port) {
    Edit5->setText(FromGbk(port));
    BitBtn6->setEnabled(true);
}

void TForm1::SetSendVoiceCaption(const QString& caption) {
    BitBtn5->setText(caption);
}

void TForm1::SetReceiveVoiceCaption(const QString& caption) {
    BitBtn6->setText(caption);
}

void TForm1::VoiceTypeBox() {
    // One box at a time: recording goes on while it is open, and a failing block every second
    // must not pile boxes on top of each other.
    if (voice_box_open_) return;
    voice_box_open_ = true;
    dialogs_.ConfirmErrorBox(QStringLiteral("你选择的声音类型不符合程序要求，请使用默认值"));
    voice_box_open_ = false;
}

}  // namespace quorell
