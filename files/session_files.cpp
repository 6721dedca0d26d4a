// SessionFiles: this side's offers queued and sent one after another, the owner's events told in
// order from one thread of the controller's, and Close. The session's messages and the peer's
// offer are in session_files_routing.cpp.

#include <chrono>
#include <random>

#include "files/session_files_impl.h"

namespace quorell::files {

namespace {

constexpr char kClosed[] = "the session was closed";
// How often the dispatcher looks for ended transfers whose threads can be joined.
constexpr auto kReapEvery = std::chrono::milliseconds(200);

SideProgress::Entries EntriesOf(const std::shared_ptr<const Offer>& offer) {
    return SideProgress::Entries(offer, &offer->entries);
}

}  // namespace

bool GatePipe::Send(const session::FileMessage& message) {
    {
        std::lock_guard lock(mu_);
        if (closed_) return false;
        ++sending_;
    }
    if (const auto* accept = std::get_if<session::Accept>(&message))
        incoming_.Wanted(*accept);
    else if (const auto* result = std::get_if<session::FileResult>(&message))
        incoming_.Answered(result->offer, result->index);
    const bool sent = pipe_.Send(message);
    {
        std::lock_guard lock(mu_);
        --sending_;
    }
    cv_.notify_all();
    return sent;
}

void GatePipe::Close() {
    std::unique_lock lock(mu_);
    closed_ = true;
    cv_.wait(lock, [&] { return sending_ == 0; });
}

SessionFiles::Impl::Impl(ITransferPipe& p, ISessionFilesEvents& e, IncomingLimits l)
    : pipe(p), events(e), limits(l), gate(p, in_progress) {}

SessionFiles::SessionFiles(ITransferPipe& pipe, ISessionFilesEvents& events, IncomingLimits limits)
    : impl_(std::make_unique<Impl>(pipe, events, limits)) {
    impl_->dispatcher = std::thread([impl = impl_.get()] { impl->Dispatch(); });
}

SessionFiles::~SessionFiles() {
    Close("");
}

void SessionFiles::Impl::PostLocked(Event event) {
    if (stop_dispatch) return;
    pending.push_back(std::move(event));
    cv.notify_all();
}

void SessionFiles::Impl::ReapLocked(std::vector<Outgoing>& dead) {
    for (auto it = ended.begin(); it != ended.end();) {
        if (it->transfer->Wait(std::chrono::milliseconds(0))) {
            dead.push_back(std::move(*it));
            it = ended.erase(it);
        } else {
            ++it;
        }
    }
}

// The owner's events, one at a time and in the order they happened, never with a lock held, so
// the owner may wait for its own thread in them and call back from there.
void SessionFiles::Impl::Dispatch() {
    for (;;) {
        std::optional<Event> event;
        std::vector<Outgoing> dead;  // joined outside the lock
        {
            std::unique_lock lock(mu);
            const auto ready = [&] { return stop_dispatch || !pending.empty(); };
            if (ended.empty())
                cv.wait(lock, ready);
            else
                cv.wait_for(lock, kReapEvery, ready);
            ReapLocked(dead);
            if (!pending.empty()) {
                event = std::move(pending.front());
                pending.pop_front();
            } else if (stop_dispatch) {
                return;
            }
        }
        dead.clear();
        if (event) (*event)(events);
    }
}

void SessionFiles::Impl::ClosingEndLocked(TransferEnd& end, std::string& text) const {
    if (!closed || (end != TransferEnd::kCancelledHere && end != TransferEnd::kFailed)) return;
    end = closing_text.empty() ? TransferEnd::kCancelledHere : TransferEnd::kFailed;
    text = closing_text.empty() ? kClosed : closing_text;
}

std::uint64_t SessionFiles::Impl::NewIdLocked() {
    std::random_device random;
    for (;;) {
        const std::uint64_t id = (std::uint64_t{random()} << 32) ^ random();
        if (id != 0 && !OursLocked(id) && !(in_live && id == in_id)) return id;
    }
}

// Whether `id` is one of this side's offers, in progress or queued.
bool SessionFiles::Impl::OursLocked(std::uint64_t id) const {
    if (out && out->id == id) return true;
    for (const auto& q : queue)
        if (q.id == id) return true;
    return false;
}

void SessionFiles::Impl::StartNextLocked() {
    if (closed || out || queue.empty()) return;
    out = std::move(queue.front());
    queue.pop_front();
    const std::uint64_t id = out->id;
    out_progress.Begin(id, EntriesOf(out->offer), true);
    out_progress.SetQueued(queue.size());
    OutgoingCallbacks callbacks;
    callbacks.progress = [this, id](std::uint32_t index, std::uint64_t file, std::uint64_t all) {
        out_progress.Bytes(id, index, file, all, true);
    };
    callbacks.ended = [this, id](const OutgoingResult& result) { OutgoingEndedHere(id, result); };
    out->transfer = std::make_unique<OutgoingTransfer>(id, *out->offer, gate, std::move(callbacks));
    // Told before the transfer can end, so that the owner hears of it in that order.
    PostLocked([id, offer = out->offer](ISessionFilesEvents& e) { e.OutgoingStarted(id, *offer); });
    out->transfer->Start();
}

// From the transfer's own thread: it is kept until its thread is over, and the next goes out.
void SessionFiles::Impl::OutgoingEndedHere(std::uint64_t id, OutgoingResult result) {
    std::lock_guard lock(mu);
    ClosingEndLocked(result.end, result.text);
    out_progress.End(id);
    PostLocked(
        [id, result = std::move(result)](ISessionFilesEvents& e) { e.OutgoingEnded(id, result); });
    if (out && out->id == id) {
        ended.push_back(std::move(*out));
        out.reset();
    }
    StartNextLocked();
    cv.notify_all();
}

void SessionFiles::Impl::DropQueuedLocked(TransferEnd end, const std::string& text) {
    for (auto& q : queue) {
        OutgoingResult result;
        result.end = end;
        result.text = text;
        PostLocked([id = q.id, result = std::move(result)](ISessionFilesEvents& e) {
            e.OutgoingEnded(id, result);
        });
    }
    queue.clear();
    out_progress.SetQueued(0);
}

std::uint64_t SessionFiles::Send(Offer offer) {
    auto shared = std::make_shared<const Offer>(std::move(offer));
    std::lock_guard lock(impl_->mu);
    if (impl_->closed) return 0;
    const std::uint64_t id = impl_->NewIdLocked();
    impl_->queue.push_back(Impl::Outgoing{id, std::move(shared), nullptr});
    impl_->out_progress.SetQueued(impl_->queue.size());
    impl_->StartNextLocked();
    return id;
}

void SessionFiles::CancelOutgoing(const std::string& text) {
    std::lock_guard lock(impl_->mu);
    if (impl_->out) impl_->out->transfer->Cancel(text);
}

void SessionFiles::DropQueued() {
    std::lock_guard lock(impl_->mu);
    impl_->DropQueuedLocked(TransferEnd::kCancelledHere, "dropped before it went out");
}

TransferProgress SessionFiles::Progress(Direction direction) const {
    return direction == Direction::kOutgoing ? impl_->out_progress.Get() : impl_->in_progress.Get();
}

void SessionFiles::Close(const std::string& text) {
    Impl& d = *impl_;
    {
        std::lock_guard lock(d.mu);
        if (d.closed) return;
        d.closed = true;
        d.closing_text = text;
        d.DropQueuedLocked(text.empty() ? TransferEnd::kCancelledHere : TransferEnd::kFailed,
                           text.empty() ? kClosed : text);
    }
    // Nothing goes to the peer from here on; what was being sent has gone or failed.
    d.gate.Close();
    std::shared_ptr<IncomingTransfer> in;
    {
        std::lock_guard lock(d.mu);
        if (d.out) d.out->transfer->Cancel(text);
        if (d.in_live) in = d.in;
    }
    if (in) in->Cancel(text);
    std::vector<Impl::Outgoing> ended;
    {
        std::unique_lock lock(d.mu);
        d.cv.wait(lock, [&] { return !d.out; });
        d.stop_dispatch = true;
        d.cv.notify_all();
    }
    if (d.dispatcher.joinable()) d.dispatcher.join();  // every event told
    {
        std::lock_guard lock(d.mu);
        ended = std::move(d.ended);
        in = std::move(d.in);
    }
    ended.clear();  // joins their threads, each past its end
}

}  // namespace quorell::files
