#pragma once

#include <QString>
#include <string>
#include <vector>

#include "audio/voice_controller.h"
#include "common/gbk.h"
#include "support/recording_control_link.h"

namespace quorell::test {

// The window voice talks to: answers the chooser from a queue and keeps what it was shown.
struct FakeVoiceWindow : IVoiceWindow {
    bool ChooseFormat(WaveFormat& format) override {
        ++choices;
        if (answers.empty()) return false;
        format = answers.front();
        answers.erase(answers.begin());
        return true;
    }
    std::string PeerAddressAsTyped() override { return address; }
    std::string LocalVoicePort() override { return local_port; }
    // A desktop may put accelerator marks into what a button shows; voice never reads it.
    void SetSendVoiceCaption(const QString& caption) override { send_caption = caption; }
    void SetReceiveVoiceCaption(const QString& caption) override { receive_caption = caption; }
    void ShowPeerVoicePort(const std::string& port) override { shown_peer_port = port; }
    void VoiceTypeBox() override { ++boxes; }

    std::vector<WaveFormat> answers;
    int choices = 0;
    std::string address = "127.0.0.1";
    std::string local_port;
    std::string shown_peer_port;
    QString send_caption = QStringLiteral("发送语音");
    QString receive_caption = QStringLiteral("接收语音");
    int boxes = 0;
};

}  // namespace quorell::test
