#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
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
    virtual void ResetReceiveCaption() = 0;  // the receive button's caption back to "接收"
    virtual void PlainBox(const QString& text) = 0;
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

    // The accept notice arrived (user-interface thread): starts a sender thread, unless one is
    // still running and not cancelled (two would share the socket and the progress bar).
    void PeerAccepted();
    // The cancel notice arrived (user-interface thread): the end datagram to the socket's host
    // (none before any sender has set one), the progress hidden, the socket closed, the
    // send-file button enabled; a running sender is told to stop and ends without another
    // word. A failure to send the end datagram propagates and nothing else changes.
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
    // The next datagram on the socket, "" when none came within ReceiveTimeout, nothing once
    // the run is cancelled.
    std::optional<std::string> AwaitReply();
    // Sends the end datagram and gives the window back: progress hidden, send-file button
    // enabled, socket closed. extra runs in the same hand-off. false when cancelled.
    bool Finish(const std::function<void(IFileSenderWindow&)>& extra = nullptr);

    std::shared_ptr<UiBridge> bridge_;
    std::shared_ptr<net::UdpClient> socket_;
    SharedWindowRef<IFileSenderWindow> window_;
    std::shared_ptr<FileSendRun> run_;
    std::shared_ptr<std::mutex> socket_turn_;
};

}  // namespace quorell
