#pragma once

#include <QString>
#include <string>
#include <string_view>
#include <utility>

#include "audio/format_chooser.h"
#include "audio/wave_in.h"
#include "audio/wave_out.h"
#include "links/control_link.h"
#include "links/voice_link.h"

namespace quorell {

// What voice reads and changes in the window. Every call happens on the user-interface thread;
// texts are GBK bytes as the boxes hold them.
class IVoiceWindow : public IChooser {
public:
    // The peer address box exactly as typed.
    virtual std::string PeerAddressAsTyped() = 0;
    virtual std::string LocalVoicePort() = 0;  // where our voice goes on the peer's machine
    // The two buttons' captions, which show the controller's state; they are never read back.
    virtual void SetSendVoiceCaption(const QString& caption) = 0;
    virtual void SetReceiveVoiceCaption(const QString& caption) = 0;
    // The peer told the port its voice comes to: show it and let the user start receiving.
    virtual void ShowPeerVoicePort(const std::string& port) = 0;
    // The box that says the chosen sound format does not work.
    virtual void VoiceTypeBox() = 0;
};

// Voice in both directions: the send and receive buttons, each recorded second going out, each
// received block played. The format is chosen once a run, at the first start that gets past
// the chooser, and the sound devices keep it.
class VoiceController {
public:
    // peer_voice_port: what stands for the peer's voice port until the peer tells it.
    VoiceController(IVoiceWindow& window, IVoiceLink& link, IControlLink& control,
                    TACMWaveIn& wave_in, TACMWaveOut& wave_out, TACMDialog& chooser,
                    std::string peer_voice_port = {})
        : window_(window),
          link_(link),
          control_(control),
          wave_in_(wave_in),
          wave_out_(wave_out),
          chooser_(chooser),
          peer_voice_port_(std::move(peer_voice_port)) {}

    void SendButton();     // start or cancel sending
    void ReceiveButton();  // start or cancel receiving
    // One recorded block: sent while sending, as blocks of at most the link's size, each a
    // whole number of the format's blocks.
    void OnRecorded(const char* data, int size);
    // The peer's voice port line: where its voice will come to us (as sent, trimmed).
    void PeerToldVoicePort(const std::string& port);

    const WaveFormat* VoiceFormat() const { return format_; }
    bool Sending() const { return sending_; }
    bool Receiving() const { return receiving_; }

private:
    bool EnsureFormatAndOpen();
    void OnBlock(std::string_view block);  // one block of the peer's voice: played
    void SetSending(bool sending);
    void SetReceiving(bool receiving);

    IVoiceWindow& window_;
    IVoiceLink& link_;
    IControlLink& control_;
    TACMWaveIn& wave_in_;
    TACMWaveOut& wave_out_;
    TACMDialog& chooser_;
    const WaveFormat* format_ = nullptr;
    // Each direction's state; the buttons' captions are set from it.
    bool sending_ = false;
    bool receiving_ = false;
    std::string peer_voice_port_;
};

// A port box's text as a whole number: optional leading blanks and sign, then digits only.
// Throws "'<text>' is not a valid integer value" otherwise.
int IntegerOf(const std::string& text);

}  // namespace quorell
