#pragma once

// The files of one open session, both ways at once: this side's offers queued and sent one
// after another, the peer's offer accepted into a folder or declined, every file message of the
// session routed to the transfer it belongs to, and how far each direction is for the window to
// show. No Qt.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "files/incoming_transfer.h"
#include "files/offer_builder.h"
#include "files/outgoing_transfer.h"
#include "files/transfer_pipe.h"
#include "session/file_messages.h"

namespace quorell::files {

enum class Direction { kOutgoing, kIncoming };

// How far one direction is, for the window to poll a few times a second.
struct TransferProgress {
    bool active = false;         // an offer is being sent, or received after it was accepted
    std::uint64_t offer = 0;     // its id
    std::size_t files = 0;       // files wanted (by the peer when sending, here when receiving)
    std::size_t files_done = 0;  // of them, those with their verdict
    std::string current_path;    // the file moving now, as offered; empty between files
    std::uint64_t current_bytes = 0;  // of the current file there now, resumed ones included
    std::uint64_t current_size = 0;
    std::uint64_t all_bytes = 0;      // of all wanted files there now, resumed ones included
    std::uint64_t all_size = 0;       // of all wanted files
    std::uint64_t resumed_bytes = 0;  // of all_bytes, those that were there before this offer
    std::size_t queued = 0;           // outgoing: this side's offers waiting behind this one
};

// What the controller tells its owner. Called from one thread of the controller's, one at a time
// and in the order things happened, never with a lock of the controller held: the owner hands
// them to its own thread (waiting for it, if it likes) and may call the controller back from
// there. Never from inside a call of the owner's.
class ISessionFilesEvents {
public:
    virtual ~ISessionFilesEvents() = default;
    // The peer's offer has come whole and passed the checks: answer it with AcceptIncoming or
    // DeclineIncoming.
    virtual void IncomingOffered(const IncomingOffer& offer) = 0;
    // The peer's offer ended (finished, declined, cancelled or failed): what became of each file.
    virtual void IncomingEnded(const IncomingResult& result) = 0;
    // One of this side's offers has gone out and waits for the peer's answer.
    virtual void OutgoingStarted(std::uint64_t offer_id, const Offer& offer) = 0;
    // One of this side's offers ended; queued ones that never went out end with kFailed or
    // kCancelledHere and no files.
    virtual void OutgoingEnded(std::uint64_t offer_id, const OutgoingResult& result) = 0;
};

class SessionFiles {
public:
    // The pipe carries this side's messages to the peer; it and the events must outlive this.
    SessionFiles(ITransferPipe& pipe, ISessionFilesEvents& events, IncomingLimits limits = {});
    ~SessionFiles();  // Close("")
    SessionFiles(const SessionFiles&) = delete;
    SessionFiles& operator=(const SessionFiles&) = delete;

    // Queues an offer of this side's. It goes out at once when none of this side's is in
    // progress, else after those before it have ended. Returns its id: fresh and random, so
    // that the ids of the two directions do not meet. After Close: 0, and nothing is told.
    std::uint64_t Send(Offer offer);

    // Every file message of the session, from the session's thread. The peer's OfferBegin while
    // another offer of the peer's is in progress is declined as busy.
    void OnMessage(const session::FileMessage& message);

    // The peer's offer waiting for an answer (IncomingOffered told it): taken into `folder`.
    // `replace` is asked, during this call, about each final name already taken; none: never
    // replace. false with `error` set when the folder cannot be used or no offer waits (the
    // offer then still waits when there is one).
    bool AcceptIncoming(const std::string& folder,
                        std::function<bool(const std::string& path)> replace, std::string& error);
    void DeclineIncoming(const std::string& text);

    // Ends the transfer in progress in one direction, telling the peer; nothing when there is
    // none. Cancelling the outgoing one lets the next queued offer go out.
    void CancelIncoming(const std::string& text);
    void CancelOutgoing(const std::string& text);
    // Drops this side's offers that have not gone out yet (each told as ended).
    void DropQueued();

    TransferProgress Progress(Direction direction) const;

    // The session has ended or is being closed: every transfer ends (told as failed with
    // `text`, or cancelled here when text is empty), queued offers are dropped and told, and
    // nothing more is sent. Waits for the transfers' threads and for every event to be told, so
    // not from an events callback nor from the thread the owner hands the events to. Once is
    // enough: later calls do nothing. The destructor closes likewise.
    void Close(const std::string& text);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorell::files
