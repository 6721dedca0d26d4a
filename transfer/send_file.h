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
#include "net/udp_client.h"

namespace quorell {

// What the sending side of a file transfer reads and changes in the window. Every call happens
// on the user-interface thread.
class IFileSenderWindow {
public:
    virtual ~IFileSenderWindow() = default;
    // The peer address box exactly as typed (GBK bytes, not trimmed).
    virtual std::string PeerAddressAsTyped() = 0;
    // The local path of the file chosen last.
    virtual QString FileToSend() = 0;
    virtual void SetSendFileEnabled(bool enabled) = 0;  // the send-file button
    virtual void ShowProgress(bool shown) = 0;          // the progress label and bar together
    virtual void SetProgress(int percent) = 0;
    // This side's run was refused its length. The receive button shows "接收" unless this
    // side is itself receiving a file it accepted.
    virtual void ResetReceiveCaption() = 0;
    virtual void PlainBox(const QString& text) = 0;
    // A control line (GBK) to the peer; false when the peer could not be reached (the
    // unreachable-peer box has been shown).
    virtual bool SendControlLine(const std::string& line) = 0;
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
    // Held by the thread around each use of the socket and by the cancel around its mark and
    // its end datagram, so nothing leaves the socket for this run after the cancel's end
    // datagram. Never held while waiting.
    std::mutex guard;
};

// The sending side's part of the file transfer: the transfer socket, the sender threads it
// starts when the peer accepts, and the reaction to the peer's cancel.
class FileSendControl {
public:
    FileSendControl(std::shared_ptr<UiBridge> bridge, SharedWindowRef<IFileSenderWindow> window,
                    int file_port);
    // Stops a running sender without a word to the peer, so it does not outlive the window by
    // a wait.
    ~FileSendControl();
    FileSendControl(const FileSendControl&) = delete;
    FileSendControl& operator=(const FileSendControl&) = delete;

    // The transfer socket, shared with the sender threads (Port is the peer's file port, the
    // receive time-out 20 s).
    const std::shared_ptr<net::UdpClient>& IdUDPClient2() const { return socket_; }

    // The accept notice arrived (user-interface thread): starts a sender thread. While one is
    // still running and not cancelled (two would share the socket and the progress bar), the
    // acceptance waits for the cancel that must have come before it.
    void PeerAccepted();
    // The cancel notice arrived (user-interface thread): the end datagram to the socket's host
    // (none before any sender has set one, nor for a run refused before it said anything),
    // the progress hidden, the socket closed, the send-file button enabled; a running sender
    // is told to stop and ends without another word. The window is given back even when the
    // end datagram cannot be sent.
    void PeerCancelled();

    // The run started last, if any (for tests).
    std::shared_ptr<FileSendRun> CurrentRun() const { return run_; }

private:
    std::shared_ptr<UiBridge> bridge_;
    SharedWindowRef<IFileSenderWindow> window_;
    std::shared_ptr<net::UdpClient> socket_;
    // Taken by each sender thread for its whole run: a new run waits until a cancelled one has
    // let go of the socket, so the old one can never read the new one's replies.
    std::shared_ptr<std::mutex> socket_turn_;
    std::shared_ptr<FileSendRun> run_;
};

// The sender thread: one per accepted offer.
class Send_file {
public:
    // The largest file that can be announced to the receiver (a 32-bit length); larger ones are
    // refused before anything is sent about them.
    static constexpr std::int64_t kMaxFileSize = 2147483647;
    static constexpr std::size_t kChunkSize = 1024;
    // What the sending user is told about a file larger than kMaxFileSize.
    static QString TooLargeText(const QString& path, std::int64_t size);

    // socket_turn: shared by every run on this socket (see FileSendControl); without it the run
    // takes the socket as it finds it.
    Send_file(std::shared_ptr<UiBridge> bridge, std::shared_ptr<net::UdpClient> socket,
              SharedWindowRef<IFileSenderWindow> window, std::shared_ptr<FileSendRun> run,
              std::shared_ptr<std::mutex> socket_turn = nullptr);

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
    // The next datagram on the socket, "" when none came within ReceiveTimeout, nothing once
    // the run is cancelled.
    std::optional<std::string> AwaitReply();
    // Sends the end datagram and gives the window back: progress hidden, send-file button
    // enabled, socket closed. false when cancelled.
    bool Finish();

    std::shared_ptr<UiBridge> bridge_;
    std::shared_ptr<net::UdpClient> socket_;
    SharedWindowRef<IFileSenderWindow> window_;
    std::shared_ptr<FileSendRun> run_;
    std::shared_ptr<std::mutex> socket_turn_;
    std::string target_;  // the peer's address, resolved once at the start of the run
};

}  // namespace quorell
