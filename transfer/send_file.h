#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "common/ui_bridge.h"
#include "common/window_ref.h"
#include "links/control_link.h"
#include "links/file_link.h"

namespace quorell {

// What the sending side of a file transfer reads and changes in the window. Every call happens
// on the user-interface thread.
class IFileSenderWindow {
public:
    virtual ~IFileSenderWindow() = default;
    // The peer address box exactly as typed (GBK bytes, not trimmed).
    virtual std::string PeerAddressAsTyped() = 0;
    // The local path of the file offered last, and its change by a new offer.
    virtual QString FileToSend() = 0;
    virtual void SetFileToSend(const QString& path) = 0;
    virtual void SetSendFileEnabled(bool enabled) = 0;  // the send-file button
    virtual void ShowProgress(bool shown) = 0;          // the progress label and bar together
    virtual void SetProgress(int percent) = 0;
    // This side's run was refused its length. The receive button shows "接收" unless this
    // side is itself receiving a file it accepted.
    virtual void ResetReceiveCaption() = 0;
    virtual void PlainBox(const QString& text) = 0;
};

// Where the sending user stands with its own file. The send-file button shows it: enabled
// unless Sending.
enum class SendState {
    Idle,     // nothing offered, or the last run has given the window back
    Offered,  // a file has been offered to the peer and no run is going
    // The peer accepted and a run took the window: until the run ends well, is refused, or
    // the peer cancels (a run that stalled waits for that cancel).
    Sending,
};

// One run of the sender, shared by its thread and the window. A cancel marks it; the thread
// looks at the mark after every wait and inside every hand-off, so it never acts on a reply or
// a time-out that comes after the cancel.
struct FileSendRun {
    std::atomic<bool> cancelled{false};
    std::atomic<bool> finished{false};
    // For the window's speed: the length of the file (-1 until known) and the bytes the
    // receiver has acknowledged so far.
    std::atomic<std::int64_t> size{-1};
    std::atomic<std::int64_t> acknowledged{0};
    // The file was too large to announce and nothing about it was sent: a cancel has no run
    // to end on the peer's side.
    std::atomic<bool> refused{false};
    // The peer accepted again while this run went on (user-interface thread only). That is a
    // new acceptance after a cancel whose notice has not arrived yet: the cancel starts it.
    bool accepted_again = false;
    // The peer's address as the thread resolved it, once, outside the guard (under the guard;
    // empty until then). The cancel's end datagram goes there without a look-up.
    std::string target;
    // Held by the thread around each use of the link and by the cancel around its mark and
    // its end datagram, so nothing leaves the link for this run after the cancel's end
    // datagram. Never held while waiting.
    std::mutex guard;
};

// The sending side's part of the file transfer: the offer, the sender threads it starts on the
// file link when the peer accepts, and the reaction to the peer's cancel.
class FileSendControl {
public:
    FileSendControl(std::shared_ptr<UiBridge> bridge, SharedWindowRef<IFileSenderWindow> window,
                    std::shared_ptr<IFileLink> link, std::shared_ptr<IControlLink> control);
    // Stops a running sender without a word to the peer, so it does not outlive the window by
    // a wait.
    ~FileSendControl();
    FileSendControl(const FileSendControl&) = delete;
    FileSendControl& operator=(const FileSendControl&) = delete;

    // The link to the peer's file port, shared with the sender threads.
    const std::shared_ptr<IFileLink>& Link() const { return link_; }
    SendState State() const { return *state_; }

    // Offers the file at path to the peer (user-interface thread). A file the peer could not
    // take is not offered, and the user is told why; the file offered before stays offered.
    // Throws when the connection breaks while the offer is written.
    void Offer(const QString& path);
    // The accept notice arrived (user-interface thread): starts a sender thread. While one is
    // still running and not cancelled (two would share the link and the progress bar), the
    // acceptance waits for the cancel that must have come before it.
    void PeerAccepted();
    // The cancel notice arrived (user-interface thread): the end datagram to the peer host
    // (none before any sender has set one, nor for a run refused before it said anything),
    // the progress hidden, the link closed, the send-file button enabled; a running sender
    // is told to stop and ends without another word. The window is given back even when the
    // end datagram cannot be sent.
    void PeerCancelled();
    // This side's user stops the running send (the window closes): the peer hears the same end
    // datagram as after its own cancel, so it closes its file with what arrived. Unlike the
    // peer's cancel, an acceptance that waited for it starts nothing.
    void StopHere();

    // The run started last, if any (for tests).
    std::shared_ptr<FileSendRun> CurrentRun() const { return run_; }

private:
    // Ends the run, telling the peer; true when an acceptance waited for that.
    bool EndRun();
    std::shared_ptr<UiBridge> bridge_;
    SharedWindowRef<IFileSenderWindow> window_;
    std::shared_ptr<IFileLink> link_;
    std::shared_ptr<IControlLink> control_;
    // Taken by each sender thread for its whole run: a new run waits until a cancelled one has
    // let go of the link, so the old one can never read the new one's replies.
    std::shared_ptr<std::mutex> socket_turn_;
    std::shared_ptr<FileSendRun> run_;
    // Shared with the runs, which change it in their hand-offs (user-interface thread only).
    std::shared_ptr<SendState> state_;
};

// Sets the sending state and shows it on the send-file button.
void ShowSendState(SendState& state, SendState now, IFileSenderWindow& window);

// The sender thread: one per accepted offer.
class Send_file {
public:
    // The largest file that can be announced to the receiver (a 32-bit length); larger ones are
    // refused before anything is sent about them.
    static constexpr std::int64_t kMaxFileSize = 2147483647;
    static constexpr std::size_t kChunkSize = 1024;
    // What the sending user is told about a file larger than kMaxFileSize.
    static QString TooLargeText(const QString& path, std::int64_t size);

    // socket_turn: shared by every run on this link (see FileSendControl); without it the run
    // takes the link as it finds it. state: the sending side's, changed in the hand-offs.
    Send_file(std::shared_ptr<UiBridge> bridge, std::shared_ptr<IFileLink> link,
              std::shared_ptr<IControlLink> control, SharedWindowRef<IFileSenderWindow> window,
              std::shared_ptr<FileSendRun> run, std::shared_ptr<std::mutex> socket_turn,
              std::shared_ptr<SendState> state);

    // Starts a detached thread running Execute(). Throws std::system_error when no thread can
    // be created.
    static void Start(std::shared_ptr<Send_file> worker);

    // The thread body; every failure ends it silently.
    void Execute() noexcept;

private:
    void Run();
    bool Cancelled() const { return run_->cancelled.load(); }
    // Sends one datagram unless the run is cancelled; false when it is.
    bool Send(const void* bytes, std::size_t count);
    bool Send(std::string_view text) { return Send(text.data(), text.size()); }
    // Tells both users that the file is too large, gives the window back and sends nothing
    // more: for the peer, whose user accepted, the run ends with its user's cancel.
    void Refuse(const QString& path, std::int64_t size);
    // The next datagram on the link, "" when none came within its reply time-out, nothing once
    // the run is cancelled.
    std::optional<std::string> AwaitReply();
    // Sends the end datagram and gives the window back: progress hidden, send-file button
    // enabled, link closed. false when cancelled.
    bool Finish();

    std::shared_ptr<UiBridge> bridge_;
    std::shared_ptr<IFileLink> link_;
    std::shared_ptr<IControlLink> control_;
    SharedWindowRef<IFileSenderWindow> window_;
    std::shared_ptr<FileSendRun> run_;
    std::shared_ptr<std::mutex> socket_turn_;
    std::shared_ptr<SendState> state_;
    std::string target_;  // the peer's address, resolved once at the start of the run
};

}  // namespace quorell
