#include "files/outgoing_transfer.h"

#include "files/file_reader.h"

namespace quorell::files {

const char* Describe(TransferEnd end) {
    switch (end) {
        case TransferEnd::kFinished:
            return "finished";
        case TransferEnd::kDeclined:
            return "declined";
        case TransferEnd::kCancelledHere:
            return "cancelled here";
        case TransferEnd::kCancelledByPeer:
            return "cancelled by the peer";
        case TransferEnd::kFailed:
            return "failed";
    }
    return "failed";
}

OutgoingTransfer::OutgoingTransfer(std::uint64_t offer_id, const Offer& offer, ITransferPipe& pipe,
                                   OutgoingCallbacks callbacks, std::size_t chunk_bytes)
    : id_(offer_id),
      offer_(offer),
      pipe_(pipe),
      callbacks_(std::move(callbacks)),
      chunk_bytes_(chunk_bytes == 0 || chunk_bytes > session::kMaxDataBytes ? session::kMaxDataBytes
                                                                            : chunk_bytes) {}

OutgoingTransfer::~OutgoingTransfer() {
    Cancel("the transfer was closed");
    if (thread_.joinable()) thread_.join();
}

void OutgoingTransfer::Start() {
    std::lock_guard lock(mu_);
    // Started after a Cancel, it still ends once and tells so, without a word to the peer.
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { Run(); });
}

void OutgoingTransfer::Stop(TransferEnd end, const std::string& text, bool tell_peer) {
    {
        std::lock_guard lock(mu_);
        if (stop_) return;
        stop_ = true;
        end_ = end;
        end_text_ = text;
        tell_peer_ = tell_peer;
    }
    cv_.notify_all();
}

bool OutgoingTransfer::Stopped() const {
    std::lock_guard lock(mu_);
    return stop_;
}

void OutgoingTransfer::Cancel(const std::string& text) {
    Stop(TransferEnd::kCancelledHere, text, true);
}

bool OutgoingTransfer::Wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return ended_; });
}

void OutgoingTransfer::OnMessage(const session::FileMessage& message) {
    std::visit(
        [&](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            if (m.offer != id_) return;
            if constexpr (std::is_same_v<T, session::Accept>) {
                std::string fault;
                {
                    std::lock_guard lock(mu_);
                    if (stop_ || accept_done_) return;
                    if (!m.files.empty() &&
                        static_cast<std::int64_t>(m.files.front().index) <= last_index_)
                        fault = "the peer's Accept repeats an index";
                    else
                        fault = CheckAccept(offer_, m);
                    if (fault.empty()) {
                        for (const auto& w : m.files) {
                            wanted_.push_back(w);
                            SentFile f;
                            f.index = w.index;
                            f.wanted = true;
                            f.text = "not sent";
                            files_.push_back(std::move(f));
                        }
                        if (!m.files.empty()) last_index_ = m.files.back().index;
                        accept_done_ = m.last;
                    }
                }
                if (!fault.empty()) {
                    Stop(TransferEnd::kFailed, fault, true);
                    return;
                }
                cv_.notify_all();
            } else if constexpr (std::is_same_v<T, session::Decline>) {
                bool accepted;
                {
                    std::lock_guard lock(mu_);
                    accepted = !files_.empty() || accept_done_;
                }
                // A Decline after an Accept breaks the order; it still ends the offer.
                Stop(accepted ? TransferEnd::kCancelledByPeer : TransferEnd::kDeclined,
                     m.text.empty() ? "the peer declined" : m.text, false);
            } else if constexpr (std::is_same_v<T, session::Cancel>) {
                Stop(TransferEnd::kCancelledByPeer, m.text.empty() ? "the peer cancelled" : m.text,
                     false);
            } else if constexpr (std::is_same_v<T, session::FileResult>) {
                {
                    std::lock_guard lock(mu_);
                    for (auto& f : files_) {
                        if (f.index != m.index || f.answered) continue;
                        f.answered = true;
                        f.status = m.status;
                        f.text = m.text;
                        skip_index_ = m.index;  // stops sending it if it is still being sent
                        break;
                    }
                }
                cv_.notify_all();
            }
            // The receiver's side of the exchange never comes here; anything else is dropped.
        },
        message);
}

void OutgoingTransfer::Run() {
    OfferMessages messages(id_, offer_);
    bool offered = false;  // the peer has heard of this offer
    while (auto m = messages.Next()) {
        if (Stopped()) break;
        offered = true;
        if (!pipe_.Send(*m)) {
            Stop(TransferEnd::kFailed, "the session ended while the offer was sent", false);
            break;
        }
    }

    for (std::size_t slot = 0;; ++slot) {
        {
            std::unique_lock lock(mu_);
            cv_.wait(lock, [&] { return stop_ || slot < wanted_.size() || accept_done_; });
            if (stop_ || slot >= wanted_.size()) break;
        }
        if (!SendFile(slot)) break;
    }

    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] {
        if (stop_) return true;
        for (const auto& f : files_)
            if (!f.answered) return false;
        return true;
    });
    OutgoingResult result;
    if (stop_) {
        result.end = end_;
        result.text = end_text_;
    } else if (files_.empty()) {
        result.end = TransferEnd::kDeclined;
        result.text = "the peer accepted none of the files";
    } else {
        result.end = TransferEnd::kFinished;
    }
    stop_ = true;
    const bool tell = tell_peer_ && offered;
    result.files = files_;
    lock.unlock();

    if (tell) pipe_.Send(session::Cancel{id_, result.text.substr(0, session::kMaxFileTextBytes)});
    for (const auto& f : result.files) result.sent_bytes += f.sent_bytes;
    if (callbacks_.ended) callbacks_.ended(result);
    lock.lock();
    ended_ = true;
    lock.unlock();
    cv_.notify_all();
}

// Streams one wanted file; false when the offer ends with it.
bool OutgoingTransfer::SendFile(std::size_t slot) {
    session::WantedFile wanted;
    {
        std::lock_guard lock(mu_);
        if (files_[slot].answered) return true;  // the peer gave up on it before it began
        wanted = wanted_[slot];
    }
    const std::uint32_t index = wanted.index;
    const std::uint64_t size = offer_.entries[index].size;
    FileReader reader;
    std::string error;
    std::uint64_t from = 0;
    if (!reader.Open(offer_.local_paths[index], size, error) ||
        (wanted.have > 0 && !reader.Resume(wanted.have, wanted.prefix, from, error))) {
        Stop(TransferEnd::kFailed, error, true);
        return false;
    }
    {
        std::lock_guard lock(mu_);
        files_[slot].from = from;
    }
    std::uint64_t all_before = 0;
    {
        std::lock_guard lock(mu_);
        for (std::size_t i = 0; i < slot; ++i) all_before += files_[i].from + files_[i].sent_bytes;
    }
    if (callbacks_.progress) callbacks_.progress(index, from, all_before + from);

    // One message whose buffer each chunk is read into and sent from, never copied here.
    session::FileMessage message = session::Data{id_, index, 0, {}};
    std::string& chunk = std::get<session::Data>(message).bytes;
    for (;;) {
        const std::uint64_t offset = reader.offset();
        const FileReader::Step step = reader.Next(chunk, error, chunk_bytes_);
        {
            std::lock_guard lock(mu_);
            if (stop_) return false;
            if (skip_index_ == index) return true;  // answered early: on to the next file
        }
        if (step == FileReader::Step::kFailed) {
            Stop(TransferEnd::kFailed, error, true);
            return false;
        }
        if (step == FileReader::Step::kEnd) break;
        const std::size_t n = chunk.size();
        std::get<session::Data>(message).offset = offset;
        if (!pipe_.Send(message)) {
            Stop(TransferEnd::kFailed, "the session ended while a file was sent", false);
            return false;
        }
        std::uint64_t sent;
        {
            std::lock_guard lock(mu_);
            sent = files_[slot].sent_bytes += n;
        }
        if (callbacks_.progress) callbacks_.progress(index, from + sent, all_before + from + sent);
    }
    if (!pipe_.Send(session::FileDone{id_, index, reader.hash()})) {
        Stop(TransferEnd::kFailed, "the session ended while a file was sent", false);
        return false;
    }
    return true;
}

}  // namespace quorell::files
