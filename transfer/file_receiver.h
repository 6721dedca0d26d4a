#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "links/control_link.h"
#include "links/file_link.h"

namespace quorell {

// How a received file went, for the user's completion box.
struct TransferStats {
    std::int64_t bytes = 0;  // taken into the file
    double seconds = 0;      // from the first chunk after the save dialog to the end
    // Bytes a second over that time; nothing when no time or no byte could be measured.
    std::optional<double> Average() const {
        if (bytes <= 0 || !(seconds > 0)) return std::nullopt;
        return static_cast<double>(bytes) / seconds;
    }
};

// What the receiving side of a file transfer needs of the window and the dialogs. Every call
// happens on the user-interface thread.
class IFileReceiverWindow {
public:
    virtual ~IFileReceiverWindow() = default;
    // The save dialog, opened on a proposed file name; an empty text when the user cancels.
    virtual QString AskSaveFileName(const QString& proposed) = 0;
    virtual void ShowProgress(bool shown) = 0;  // the progress label and bar together
    virtual void SetProgress(int percent) = 0;
    virtual void SetSendFileEnabled(bool enabled) = 0;  // the send-file button
    // The end of a transfer (the state is Idle again): the send-file button enabled.
    virtual void TransferEnded() = 0;
    // A whole file is in place under the chosen name (and the peer has been told when it was
    // the sender's end): the user's completion box.
    virtual void TransferCompleted(const TransferStats& stats) = 0;
    virtual void PlainBox(const QString& text) = 0;
    // The receiving side's state (FileReceiver::State) has changed; the receive button shows
    // it.
    virtual void ReceiveStateChanged() {}
    // Whether a datagram from this address comes from where the control lines go. Only a
    // preference between two senders of one accepted offer; false when the window cannot
    // tell.
    virtual bool IsPeerAddress(const std::string& address) {
        (void)address;
        return false;
    }
};

// Where the receiving user stands with the peer's offers. The receive button shows it: enabled
// unless Idle, and its caption says "取消" only while Accepted.
enum class ReceiveState {
    Idle,       // nothing offered, or the last transfer has ended
    Offered,    // the peer offers a file; not accepted yet
    Accepted,   // this side's user accepted and has not cancelled
    Cancelled,  // this side's user cancelled; the sender's end datagram is still to come
};

// The file receiver: handles every datagram that reaches the file port, on the user-interface
// thread, one at a time.
class FileReceiver {
public:
    // Sends a reply to the datagram being handled, from the file port to its source.
    using Reply = FileDatagramReply;

    // control: where the peer hears how its file arrived (a broken connection throws).
    FileReceiver(IFileReceiverWindow& window, IControlLink& control);
    ~FileReceiver();
    FileReceiver(const FileReceiver&) = delete;
    FileReceiver& operator=(const FileReceiver&) = delete;

    // One datagram from source_address:source_port. Failures propagate (the datagram server
    // drops them).
    void OnDatagram(std::string_view data, const std::string& source_address, int source_port,
                    const Reply& reply);

    // Start-up state: no name, no length, no file, nothing offered.
    void Reset();

    ReceiveState State() const { return state_; }
    // The peer's offer notice arrived, from this address of the peer's machine (empty when
    // unknown). Its datagrams may come from there even when that is not the address typed.
    void PeerOffered(const std::string& source_address = {});
    // The receive button: accepts what is offered (the send-file button waits meanwhile), or
    // cancels what was accepted, telling the peer first. Nothing changes when the peer cannot
    // be reached; a connection that breaks while the line is written throws.
    void ReceivePressed();
    // This side's user accepted (and the peer has been told). Until the sender of this
    // acceptance speaks, an end datagram can only be a cancelled run's, and changes nothing.
    void AcceptedHere();
    // The receiving user has cancelled (and the peer has been told). A file still open is
    // closed with what has arrived and the user is told where it is kept: the sender's end
    // datagram, which would otherwise close it, may never come.
    void CancelledHere();

    // The state, for the window and for tests.
    // GBK: the name as received, then the chosen local path once the save dialog is confirmed.
    const std::string& RecvFileName() const { return name_; }
    std::int32_t RecvFileSize() const { return size_; }
    bool Receiving() const;  // an output file is open
    // Bytes taken into the open file so far (0 with none), and the length announced for it.
    std::int64_t BytesTaken() const;
    std::optional<std::int64_t> Announced() const { return announced_; }

private:
    struct Output;
    void OnName(std::string_view data, const Reply& reply);
    void OnLength(std::string_view data, const std::string& source_address, int source_port,
                  const Reply& reply);
    void OnChunk(std::string_view data, const Reply& reply);
    void OnEnd(const Reply& reply);
    void SetState(ReceiveState state);
    // Whether a name from this socket comes from the sender of the accepted offer: the peer's
    // machine (the address typed, or where the offer came from); when neither tells, the
    // first to name a file after the acceptance, unless the peer's own address names one later.
    bool TakeAsRun(const std::string& source_address, int source_port);
    bool FromPeer(const std::string& source_address);
    // Whether an end datagram with no file open ends anything this side waits for.
    bool EndsWhatIsWaited(const std::string& source_address, int source_port) const;
    struct Outcome {
        bool complete = false;  // every announced byte was written
        bool saved = false;     // and the file is in place under the chosen name
        int error = 0;          // why it is not, when it is complete
    };
    static Outcome CloseOutput(Output& out);
    // Tells the user (and, when tell_peer, the peer) how a closed transfer went.
    void Report(const Output& out, const Outcome& outcome, bool tell_peer);

    IFileReceiverWindow& window_;
    IControlLink& control_;
    std::string name_;
    std::int32_t size_ = 0;
    // The length as announced, when its text was a plain decimal number (it may exceed what
    // RecvFileSize holds); what arrived is checked against it at the end.
    std::optional<std::int64_t> announced_;
    std::unique_ptr<Output> out_;
    ReceiveState state_ = ReceiveState::Idle;
    // The socket taken as the sender of the offer the user accepted (see TakeAsRun).
    std::optional<std::pair<std::string, int>> run_source_;
    // Where the peer's last offer came from, until the side is at rest again.
    std::string offer_source_;
};

// The name the save dialog proposes for a received name: the part after the last '\', '/' or
// ':', where a byte that is the second half of a double-byte GBK character never counts as '\'.
// Control bytes are left out, and a name that would be empty, "." or ".." becomes
// "received_file".
std::string ProposedBaseName(const std::string& received_name);

}  // namespace quorell
