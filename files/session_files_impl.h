#pragma once

// The inside of SessionFiles, shared by its two source files: session_files.cpp (this side's
// queue of offers, the owner's events, Close) and session_files_routing.cpp (the session's
// messages, the peer's offer). No Qt.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "files/session_files.h"
#include "files/side_progress.h"

namespace quorell::files {

// What the transfers send through: the session's pipe until Close, which refuses everything
// from then on and waits for the sends already under way. It also sees this side's answers to
// the peer's offer (Accept, FileResult) for the incoming progress.
class GatePipe final : public ITransferPipe {
public:
    GatePipe(ITransferPipe& pipe, SideProgress& incoming) : pipe_(pipe), incoming_(incoming) {}
    bool Send(const session::FileMessage& message) override;
    void Close();

private:
    ITransferPipe& pipe_;
    SideProgress& incoming_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool closed_ = false;
    int sending_ = 0;
};

struct SessionFiles::Impl {
    Impl(ITransferPipe& pipe, ISessionFilesEvents& events, IncomingLimits limits);

    using Event = std::function<void(ISessionFilesEvents&)>;
    // One of this side's offers; the offer outlives its transfer.
    struct Outgoing {
        std::uint64_t id = 0;
        std::shared_ptr<const Offer> offer;
        std::unique_ptr<OutgoingTransfer> transfer;
    };

    // session_files.cpp
    std::uint64_t NewIdLocked();
    void StartNextLocked();
    void OutgoingEndedHere(std::uint64_t id, OutgoingResult result);
    void DropQueuedLocked(TransferEnd end, const std::string& text);
    void PostLocked(Event event);
    void Dispatch();
    void ReapLocked(std::vector<Outgoing>& dead);
    // How a transfer that ends because of Close is told.
    void ClosingEndLocked(TransferEnd& end, std::string& text) const;

    // session_files_routing.cpp
    void ToIncoming(const session::FileMessage& message);
    void OnOfferBegin(const session::OfferBegin& begin, const session::FileMessage& message);
    std::shared_ptr<IncomingTransfer> LiveIncoming();
    std::shared_ptr<IncomingTransfer> NewIncomingLocked(std::uint64_t id);
    bool OursLocked(std::uint64_t id) const;

    ITransferPipe& pipe;
    ISessionFilesEvents& events;
    const IncomingLimits limits;
    SideProgress out_progress;
    SideProgress in_progress;
    GatePipe gate;

    // Everything below; never held while calling the owner, the pipe or an incoming transfer.
    std::mutex mu;
    std::condition_variable cv;
    bool closed = false;
    std::string closing_text;
    std::deque<Outgoing> queue;            // not gone out yet (no transfer)
    std::optional<Outgoing> out;           // the one in progress
    std::vector<Outgoing> ended;           // over, their threads joined by Dispatch or Close
    std::shared_ptr<IncomingTransfer> in;  // the peer's latest offer
    bool in_live = false;                  // and it has not ended
    std::uint64_t in_id = 0;
    std::uint64_t in_generation = 0;
    std::deque<Event> pending;  // the owner's events, told in order by the dispatcher
    bool stop_dispatch = false;
    std::thread dispatcher;

    // AcceptIncoming, one at a time; the owner's answer about names taken, during it.
    std::mutex accept_mu;
    std::function<bool(const std::string&)> replace;
};

}  // namespace quorell::files
