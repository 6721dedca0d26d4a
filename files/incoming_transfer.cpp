#include "files/incoming_transfer.h"

#include "files/file_hash.h"
#include "files/offered_path.h"

namespace quorell::files {

using session::FileStatus;

namespace {

std::string Cut(std::string text) {
    if (text.size() > session::kMaxFileTextBytes) text.resize(session::kMaxFileTextBytes);
    return text;
}

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

}  // namespace

IncomingTransfer::IncomingTransfer(ITransferPipe& pipe, IncomingCallbacks callbacks,
                                   IncomingLimits limits)
    : pipe_(pipe), callbacks_(std::move(callbacks)), limits_(limits) {}

IncomingTransfer::~IncomingTransfer() = default;

bool IncomingTransfer::Ended() const {
    std::lock_guard lock(mu_);
    return state_ == State::kOver;
}

bool IncomingTransfer::Wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return over_told_; });
}

void IncomingTransfer::Run(Actions& actions) {
    for (const auto& m : actions.send) pipe_.Send(m);
    if (callbacks_.progress)
        for (const auto& [index, file, all] : actions.progress)
            callbacks_.progress(index, file, all);
    if (actions.offered && callbacks_.offered) callbacks_.offered(*actions.offered);
    if (actions.ended) {
        if (callbacks_.ended) callbacks_.ended(*actions.ended);
        {
            std::lock_guard lock(mu_);
            over_told_ = true;
        }
        cv_.notify_all();
    }
}

void IncomingTransfer::OnMessage(const session::FileMessage& message) {
    Actions actions;
    {
        std::lock_guard lock(mu_);
        HandleLocked(message, actions);
    }
    Run(actions);
}

void IncomingTransfer::EndLocked(TransferEnd end, std::string text, Actions& actions) {
    if (state_ == State::kOver) return;
    state_ = State::kOver;
    CloseFile();
    current_ = -1;
    IncomingResult result;
    result.end = end;
    result.text = std::move(text);
    result.files = files_;
    result.folder_errors = folder_errors_;
    actions.ended = std::move(result);
}

void IncomingTransfer::DeclineLocked(session::DeclineReason reason, const std::string& text,
                                     TransferEnd end, Actions& actions) {
    actions.send.push_back(session::Decline{id_, reason, Cut(text)});
    EndLocked(end, text, actions);
}

// The peer broke the rules of an offer: declined before it was accepted, cancelled after.
void IncomingTransfer::Fault(const std::string& text, Actions& actions) {
    if (state_ == State::kCollecting || state_ == State::kOffered) {
        DeclineLocked(session::DeclineReason::kBadOffer, text, TransferEnd::kFailed, actions);
        return;
    }
    actions.send.push_back(session::Cancel{id_, Cut(text)});
    EndLocked(TransferEnd::kFailed, text, actions);
}

void IncomingTransfer::HandleLocked(const session::FileMessage& message, Actions& actions) {
    if (const auto* begin = std::get_if<session::OfferBegin>(&message)) {
        if (state_ != State::kIdle) {
            // Each side has one offer of its own in progress at a time.
            if (begin->offer != id_ || state_ == State::kOver)
                actions.send.push_back(session::Decline{begin->offer, session::DeclineReason::kBusy,
                                                        "another offer is in progress"});
            else
                Fault("the offer began twice", actions);
            return;
        }
        id_ = begin->offer;
        entry_count_ = begin->entry_count;
        total_bytes_ = begin->total_bytes;
        state_ = State::kCollecting;
        if (entry_count_ > limits_.max_entries || total_bytes_ > limits_.max_total_bytes)
            DeclineLocked(session::DeclineReason::kTooLarge,
                          "the offer is larger than this side takes", TransferEnd::kFailed,
                          actions);
        return;
    }
    const std::uint64_t offer = std::visit([](const auto& m) { return m.offer; }, message);
    if (state_ == State::kIdle || state_ == State::kOver || offer != id_) return;

    if (const auto* part = std::get_if<session::OfferEntries>(&message)) {
        if (state_ != State::kCollecting)
            return Fault("offer entries after the offer's end", actions);
        if (part->first_index != entries_.size())
            return Fault("offer entries out of order", actions);
        if (part->entries.size() > entry_count_ - entries_.size())
            return Fault("more entries than the offer announced", actions);
        for (const auto& e : part->entries) path_bytes_ += e.path.size();
        if (path_bytes_ > limits_.max_path_bytes)
            return DeclineLocked(session::DeclineReason::kTooLarge,
                                 "the offer's paths are longer than this side takes",
                                 TransferEnd::kFailed, actions);
        entries_.insert(entries_.end(), part->entries.begin(), part->entries.end());
        return;
    }
    if (std::holds_alternative<session::OfferEnd>(message)) {
        if (state_ != State::kCollecting) return Fault("the offer ended twice", actions);
        if (entries_.size() != entry_count_)
            return Fault("fewer entries than the offer announced", actions);
        std::vector<ManifestEntry> manifest;
        manifest.reserve(entries_.size());
        for (const auto& e : entries_)
            manifest.push_back({e.path, e.kind == session::EntryKind::kFolder, e.size});
        const ManifestCheck check = CheckManifest(manifest, limits_.max_total_bytes);
        if (check.fault == ManifestFault::kOverLimit)
            return DeclineLocked(session::DeclineReason::kTooLarge,
                                 "the offer is larger than this side takes", TransferEnd::kFailed,
                                 actions);
        if (!check.ok()) {
            std::string text = Describe(check.fault);
            text += ": " + Quoted(entries_[check.entry].path);
            if (check.fault == ManifestFault::kBadPath)
                text += std::string(" (") + Describe(check.path_fault) + ")";
            return Fault(text, actions);
        }
        if (check.total != total_bytes_)
            return Fault("the files' sizes do not add up to the offer's total", actions);
        state_ = State::kOffered;
        IncomingOffer shown;
        shown.offer = id_;
        shown.entries = entries_;
        shown.total_bytes = total_bytes_;
        for (const auto& e : entries_) shown.files += e.kind == session::EntryKind::kFile;
        actions.offered = std::move(shown);
        return;
    }
    if (const auto* cancel = std::get_if<session::Cancel>(&message)) {
        CloseFile();
        return EndLocked(TransferEnd::kCancelledByPeer,
                         cancel->text.empty() ? "the peer cancelled" : cancel->text, actions);
    }
    const bool from_sender = std::holds_alternative<session::Data>(message) ||
                             std::holds_alternative<session::FileDone>(message);
    if (!from_sender) return;  // the sender's messages only come this way
    if (state_ != State::kReceiving)
        return Fault("file data before the offer was accepted", actions);
    if (const auto* data = std::get_if<session::Data>(&message)) return OnData(*data, actions);
    OnFileDone(std::get<session::FileDone>(message), actions);
}

void IncomingTransfer::Decline(session::DeclineReason reason, const std::string& text) {
    Actions actions;
    {
        std::lock_guard lock(mu_);
        if (state_ != State::kOffered) return;
        DeclineLocked(reason, text.empty() ? "declined" : text,
                      reason == session::DeclineReason::kUserDeclined ? TransferEnd::kDeclined
                                                                      : TransferEnd::kFailed,
                      actions);
    }
    Run(actions);
}

void IncomingTransfer::Cancel(const std::string& text) {
    Actions actions;
    {
        std::lock_guard lock(mu_);
        if (state_ == State::kIdle || state_ == State::kOver) return;
        actions.send.push_back(session::Cancel{id_, Cut(text)});
        EndLocked(TransferEnd::kCancelledHere, text, actions);
    }
    Run(actions);
}

}  // namespace quorell::files
