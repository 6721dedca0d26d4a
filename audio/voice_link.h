#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "audio/format_chooser.h"
#include "audio/wave_in.h"
#include "audio/wave_out.h"
#include "net/udp_client.h"
#include "net/udp_server.h"

namespace quorell {

// What voice reads and changes in the window. Every call happens on the user-interface thread;
// texts are GBK bytes as the boxes hold them.
class IVoiceWindow : public IChooser {
public:
    // The peer address box exactly as typed.
    virtual std::string PeerAddressAsTyped() = 0;
    virtual std::string LocalVoicePort() = 0;  // where our voice goes on the peer's machine
    virtual std::string PeerVoicePort() = 0;   // where the peer's voice comes to us
    // The two buttons' captions, which show the link's state; they are never read back.
    virtual void SetSendVoiceCaption(const QString& caption) = 0;
    virtual void SetReceiveVoiceCaption(const QString& caption) = 0;
    // A control line to the peer; false when the peer could not be reached (the box is shown).
    virtual bool SendControlLine(const std::string& line) = 0;
    // The box that says the chosen sound format does not work.
    virtual void VoiceTypeBox() = 0;
};

// Voice in both directions: the send and receive buttons, each recorded second going out, each
// received datagram played. The format is chosen once a run, at the first start that gets past
// the chooser, and the sound devices keep it.
class VoiceLink {
public:
    VoiceLink(IVoiceWindow& window, net::UdpClient& sender, net::UdpServer& receiver,
              TACMWaveIn& wave_in, TACMWaveOut& wave_out, TACMDialog& chooser)
        : window_(window),
          sender_(sender),
          receiver_(receiver),
          wave_in_(wave_in),
          wave_out_(wave_out),
          chooser_(chooser) {}

    void SendButton();     // start or cancel sending
    void ReceiveButton();  // start or cancel receiving
    // One recorded block: sent while sending, as datagrams of at most the sender's BufferSize,
    // each a whole number of the format's blocks.
    void OnRecorded(const char* data, int size);
    // One datagram of the peer's voice: played.
    void OnDatagram(std::string_view data);

    const WaveFormat* VoiceFormat() const { return format_; }

private:
    bool EnsureFormatAndOpen();

    IVoiceWindow& window_;
    net::UdpClient& sender_;
    net::UdpServer& receiver_;
    TACMWaveIn& wave_in_;
    TACMWaveOut& wave_out_;
    TACMDialog& chooser_;
    const WaveFormat* format_ = nullptr;
    // Each direction's state; the buttons' captions are set from it.
    bool sending_ = false;
    bool receiving_ = false;
};

// A port box's text as a whole number: optional leading blanks and sign, then digits only.
// Throws "'<text>' is not a valid integer value" otherwise.
int IntegerOf(const std::string& text);

}  // namespace quorell
