// SessionFiles: every file message of the session to the transfer it belongs to, and the peer's
// offers, one IncomingTransfer each.

#include "files/session_files_impl.h"

namespace quorell::files {

namespace {

template <class T>
const T* As(const session::FileMessage& message) {
    return std::get_if<T>(&message);
}

}  // namespace

std::shared_ptr<IncomingTransfer> SessionFiles::Impl::LiveIncoming() {
    std::lock_guard lock(mu);
    return in_live ? in : nullptr;
}

std::shared_ptr<IncomingTransfer> SessionFiles::Impl::NewIncomingLocked(std::uint64_t id) {
    const std::uint64_t generation = ++in_generation;
    IncomingCallbacks callbacks;
    callbacks.offered = [this, generation](const IncomingOffer& offer) {
        std::lock_guard lock(mu);
        if (generation != in_generation) return;
        in_progress.Begin(offer.offer,
                          std::make_shared<const std::vector<session::OfferEntry>>(offer.entries),
                          false);
        PostLocked([offer](ISessionFilesEvents& e) { e.IncomingOffered(offer); });
    };
    // Asked only during Accept, on the thread of AcceptIncoming, which holds accept_mu.
    callbacks.replace = [this](const std::string& path) { return replace && replace(path); };
    callbacks.progress = [this, id](std::uint32_t index, std::uint64_t file, std::uint64_t all) {
        in_progress.Bytes(id, index, file, all, false);
    };
    callbacks.ended = [this, generation, id](const IncomingResult& r) {
        std::lock_guard lock(mu);
        IncomingResult result = r;
        ClosingEndLocked(result.end, result.text);
        in_progress.End(id);
        if (generation == in_generation) in_live = false;
        PostLocked(
            [result = std::move(result)](ISessionFilesEvents& e) { e.IncomingEnded(result); });
    };
    in_id = id;
    in_live = true;
    return std::make_shared<IncomingTransfer>(gate, std::move(callbacks), limits);
}

// The peer's offer: a new transfer when none of the peer's is in progress, else the one in
// progress sees it (and declines it as busy). An id of one of this side's offers is refused: a
// Cancel of either would then be taken for the other's.
void SessionFiles::Impl::OnOfferBegin(const session::OfferBegin& begin,
                                      const session::FileMessage& message) {
    std::shared_ptr<IncomingTransfer> target;
    std::shared_ptr<IncomingTransfer> old;  // let go of outside the lock
    {
        std::lock_guard lock(mu);
        if (closed) return;
        if (!in_live && !OursLocked(begin.offer)) {
            old = std::move(in);
            in = NewIncomingLocked(begin.offer);
        }
        if (in_live) target = in;
    }
    if (target) return target->OnMessage(message);
    gate.Send(session::Decline{begin.offer, session::DeclineReason::kBadOffer,
                               "the offer's id is that of an offer of this side's"});
}

void SessionFiles::Impl::ToIncoming(const session::FileMessage& message) {
    std::shared_ptr<IncomingTransfer> target;
    {
        std::lock_guard lock(mu);
        if (closed) return;
        target = in;  // an ended one drops what still comes of its offer
    }
    if (!target) return;  // nothing of the peer's was ever offered
    if (const auto* data = As<session::Data>(message))
        in_progress.Arrived(data->offer, data->index, &data->offset);
    else if (const auto* done = As<session::FileDone>(message))
        in_progress.Arrived(done->offer, done->index, nullptr);
    target->OnMessage(message);
}

void SessionFiles::OnMessage(const session::FileMessage& message) {
    Impl& d = *impl_;
    if (const auto* begin = As<session::OfferBegin>(message))
        return d.OnOfferBegin(*begin, message);
    const bool to_ours = As<session::Accept>(message) || As<session::Decline>(message) ||
                         As<session::FileResult>(message) || As<session::Cancel>(message);
    if (to_ours) {
        const std::uint64_t offer = std::visit([](const auto& m) { return m.offer; }, message);
        std::lock_guard lock(d.mu);
        if (d.closed) return;
        if (d.out && d.out->id == offer) {
            if (const auto* accept = As<session::Accept>(message))
                d.out_progress.Wanted(*accept);
            else if (const auto* result = As<session::FileResult>(message))
                d.out_progress.Answered(offer, result->index);
            d.out->transfer->OnMessage(message);  // it calls nothing back: safe under the lock
            return;
        }
        // Of no offer of ours in progress: dropped, unless a Cancel of the peer's offer.
        if (!As<session::Cancel>(message)) return;
    }
    d.ToIncoming(message);
}

bool SessionFiles::AcceptIncoming(const std::string& folder,
                                  std::function<bool(const std::string& path)> replace,
                                  std::string& error) {
    Impl& d = *impl_;
    std::lock_guard accepting(d.accept_mu);
    std::shared_ptr<IncomingTransfer> in;
    {
        std::lock_guard lock(d.mu);
        if (!d.closed && d.in_live) in = d.in;
    }
    if (!in) {
        error = "no offer of the peer's waits for an answer";
        return false;
    }
    d.replace = std::move(replace);
    const bool accepted = in->Accept(folder, error);
    d.replace = nullptr;
    return accepted;
}

void SessionFiles::DeclineIncoming(const std::string& text) {
    if (auto in = impl_->LiveIncoming()) in->Decline(session::DeclineReason::kUserDeclined, text);
}

void SessionFiles::CancelIncoming(const std::string& text) {
    if (auto in = impl_->LiveIncoming()) in->Cancel(text);
}

}  // namespace quorell::files
