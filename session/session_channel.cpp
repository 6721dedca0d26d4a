#include "session/session_channel.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <deque>

namespace quorell::session {

namespace {
// The most one SSL_write is given: one file data message at once.
constexpr std::size_t kWriteBytes = 256 * 1024 + 64;
// Small messages queued behind one another are joined up to this size.
constexpr std::size_t kJoinBytes = 16 * 1024;
// Pieces whose memory is kept after they were written.
constexpr std::size_t kSpentPieces = 4;
// How far below the high-water mark the queue must go before a waiting SendWaiting is woken.
constexpr std::size_t kSendWaitingLowWater = 1024 * 1024;
}  // namespace

class Channel {
public:
    Channel(Opened opened, const SessionOptions& options)
        : fd_(std::move(opened.fd)),
          ssl_(std::move(opened.ssl)),
          info_(std::move(opened.info)),
          reader_(std::move(opened.reader)),
          keepalive_(options.keepalive),
          dead_after_(options.dead_after),
          wake_(MakeEventFd()) {
        for (auto& m : opened.early) Take(std::move(m));
    }
    ~Channel() {
        if (thread_.joinable()) thread_.detach();
    }

    void Begin(std::shared_ptr<Channel> self) {
        thread_ = std::thread([self = std::move(self)] { self->Run(); });
        thread_id_ = thread_.get_id();
    }
    const SessionInfo& info() const { return info_; }

    void Start(std::shared_ptr<ISessionHandler> handler) {
        {
            std::lock_guard lock(mu_);
            if (handler_ || !handler || finished_) return;
            handler_ = std::move(handler);
        }
        cv_.notify_all();
        Wake();
    }

    bool Send(const Message& message) { return SendEncoded(Sendable(message)); }

    bool SendWaiting(const Message& message, std::chrono::milliseconds timeout) {
        return SendEncodedWaiting(Sendable(message), timeout);
    }

    bool SendFileWaiting(const FileMessage& message, std::chrono::milliseconds timeout) {
        if (!info_.agreement.Has(kFileCapability)) return false;
        // Into the memory of data written already, when there is some.
        std::string bytes;
        {
            std::lock_guard lock(mu_);
            if (!spent_.empty()) {
                bytes = std::move(spent_.back());
                spent_.pop_back();
            }
        }
        EncodeTo(message, bytes);
        return SendEncodedWaiting(std::move(bytes), timeout);
    }

    // The encoded message when this side may send it, else empty.
    std::string Sendable(const Message& message) const {
        if (std::holds_alternative<Hello>(message) || std::holds_alternative<Commit>(message) ||
            std::holds_alternative<Reveal>(message) || std::holds_alternative<Bye>(message) ||
            std::holds_alternative<Error>(message))
            return {};  // the session's own; Bye goes through Close
        if (std::holds_alternative<Chat>(message) && !info_.agreement.Has("chat")) return {};
        if (std::holds_alternative<Event>(message) && !info_.agreement.Has("events")) return {};
        if (std::holds_alternative<FileMessage>(message) && !info_.agreement.Has(kFileCapability))
            return {};
        if (std::holds_alternative<CallMessage>(message) && !info_.agreement.Has(kCallCapability))
            return {};
        return Encode(message);
    }

    bool SendEncoded(std::string bytes) {
        if (bytes.empty()) return false;
        {
            std::lock_guard lock(mu_);
            if (ended_ || close_requested_) return false;
            if (outbox_bytes_ + unsent_.load() + bytes.size() > kMaxQueuedBytes) return false;
            outbox_bytes_ += bytes.size();
            outbox_.push_back(std::move(bytes));
        }
        Wake();
        return true;
    }

    bool SendEncodedWaiting(std::string bytes, std::chrono::milliseconds timeout) {
        // The session's own thread (a handler answering) writes nothing while it waits: it
        // queues at once, within the bound of Send.
        if (std::this_thread::get_id() == thread_id_) return SendEncoded(std::move(bytes));
        if (bytes.empty()) return false;
        {
            std::unique_lock lock(mu_);
            const bool room = room_cv_.wait_for(lock, timeout, [&] {
                return ended_ || close_requested_ ||
                       outbox_bytes_ + unsent_.load() <= kSendWaitingHighWater;
            });
            if (!room || ended_ || close_requested_) return false;
            outbox_bytes_ += bytes.size();
            outbox_.push_back(std::move(bytes));
        }
        Wake();
        return true;
    }

    void Close(ByeReason reason) {
        {
            std::lock_guard lock(mu_);
            if (!close_requested_) {
                close_requested_ = true;
                close_reason_ = reason;
            }
        }
        cv_.notify_all();
        room_cv_.notify_all();
        Wake();
        if (std::this_thread::get_id() == thread_id_) return;  // from a handler
        std::lock_guard join_lock(join_mu_);
        if (thread_.joinable()) thread_.join();
    }

    bool IsOpen() const {
        std::lock_guard lock(mu_);
        return !ended_ && !close_requested_;
    }

private:
    void Wake() { Signal(wake_.get()); }
    std::size_t Unsent() const { return unsent_bytes_; }
    // Keeps the memory of a large piece written, for SendFileWaiting to encode into.
    void Spend(std::string bytes) {
        if (bytes.capacity() < kJoinBytes) return;
        std::lock_guard lock(mu_);
        if (spent_.size() < kSpentPieces) spent_.push_back(std::move(bytes));
    }
    // Queues encoded bytes behind what waits to be written; small ones join the last piece, so
    // that a few small messages go out in one record.
    void Queue(std::string bytes) {
        if (bytes.empty()) return;
        unsent_bytes_ += bytes.size();
        if (!out_.empty() && out_.back().size() + bytes.size() <= kJoinBytes)
            out_.back() += bytes;
        else
            out_.push_back(std::move(bytes));
    }
    // Not reading: the handler is not there yet and enough waits for it, or the peer does not
    // read what it makes this side answer.
    bool Paused() const {
        return (!started_ && held_bytes_ > kMaxHeldBytes) ||
               Unsent() > kMaxQueuedBytes + kMaxPayload;
    }
    void Run();
    bool ReadAvailable();
    bool WriteSome();
    void Take(Message message);
    void Deliver();
    void End(Ended why, std::string detail) {
        why_ = why;
        detail_ = std::move(detail);
    }
    void Finish();

    UniqueFd fd_;
    SslPtr ssl_;
    const SessionInfo info_;
    MessageReader reader_;
    const std::chrono::milliseconds keepalive_, dead_after_;
    UniqueFd wake_;
    std::thread thread_;
    std::thread::id thread_id_;
    std::mutex join_mu_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::condition_variable room_cv_;  // SendWaiting: the queue went down, or the session ended
    std::shared_ptr<ISessionHandler> handler_;
    std::deque<std::string> outbox_;  // encoded messages, each whole
    std::size_t outbox_bytes_ = 0;
    std::vector<std::string> spent_;  // see Spend
    bool ended_ = false;
    bool close_requested_ = false;
    bool finished_ = false;
    ByeReason close_reason_ = ByeReason::kUserClosed;
    std::atomic<std::size_t> unsent_{0};

    // The session thread's own.
    std::shared_ptr<ISessionHandler> started_;
    std::vector<Message> held_;
    std::size_t held_bytes_ = 0;
    std::deque<std::string> out_;    // to be written, in order
    std::size_t sent_ = 0;           // of out_.front(), written already
    std::size_t unsent_bytes_ = 0;   // of out_, not written yet
    int retry_length_ = 0;           // an SSL_write to repeat with the same length
    bool want_write_ = false;        // the last SSL_write waits for the socket to take more
    bool read_wants_write_ = false;  // the last SSL_read waits for the socket to take more
    bool more_ = false;              // a read may have more at once
    Clock::time_point last_received_ = Clock::now();
    bool pinged_ = false;
    std::uint64_t next_token_ = 1;
    std::optional<Ended> why_;
    std::string detail_;
};

void Channel::Take(Message message) {
    if (why_) return;  // nothing after the end is acted on
    std::visit(
        [&](auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, Ping>) {
                Queue(Encode(Pong{m.token}));
            } else if constexpr (std::is_same_v<T, Pong>) {
            } else if constexpr (std::is_same_v<T, Bye>) {
                End(Ended::kPeerClosed, m.text);
            } else if constexpr (std::is_same_v<T, Error>) {
                End(Ended::kPeerError, m.text);
            } else if constexpr (std::is_same_v<T, Commit> || std::is_same_v<T, Reveal> ||
                                 std::is_same_v<T, Hello>) {
                Queue(Encode(Error{ErrorCode::kMalformed, "the verification exchange is over"}));
                End(Ended::kProtocolError, "the peer repeated the verification exchange");
            } else if constexpr (std::is_same_v<T, FileMessage>) {
                // Read like an unknown type when the peer was not offered the capability.
                if (!info_.agreement.Has(kFileCapability)) return;
                held_bytes_ += 64 + HeldSize(m);
                held_.push_back(std::move(message));
            } else if constexpr (std::is_same_v<T, CallMessage>) {
                if (!info_.agreement.Has(kCallCapability)) return;
                held_bytes_ += 64 + HeldSize(m);
                held_.push_back(std::move(message));
            } else {
                held_bytes_ +=
                    64 + (std::is_same_v<T, Chat> ? std::get<Chat>(message).text.size() : 0);
                held_.push_back(std::move(message));
            }
        },
        message);
}

void Channel::Deliver() {
    if (!started_) return;
    std::vector<Message> now;
    now.swap(held_);
    held_bytes_ = 0;
    for (auto& m : now) {
        started_->SessionMessage(m);
        // The data's memory takes the next data that comes.
        if (auto* file = std::get_if<FileMessage>(&m))
            if (auto* data = std::get_if<Data>(file)) reader_.Recycle(std::move(data->bytes));
    }
}

bool Channel::ReadAvailable() {
    char buffer[16 * 1024];
    // A bounded number of reads, so that a peer that never stops sending still lets this side
    // write and notice Close; what is left is read on the next turn.
    more_ = false;
    for (int reads = 0;; ++reads) {
        if (Paused()) return true;
        if (reads == 64) {
            more_ = true;
            return true;
        }
        const int r = SSL_read(ssl_.get(), buffer, sizeof buffer);
        if (r > 0) {
            last_received_ = Clock::now();
            pinged_ = false;
            std::vector<Message> got;
            const bool ok =
                reader_.Feed(std::string_view(buffer, static_cast<std::size_t>(r)), got);
            for (auto& m : got) Take(std::move(m));
            if (why_) return false;
            if (!ok) {
                const ErrorCode code = ErrorCodeFor(reader_.error());
                const std::string text =
                    "malformed message of type " + std::to_string(reader_.error_type());
                Queue(Encode(Error{code, text}));
                End(Ended::kProtocolError, text);
                return false;
            }
            continue;
        }
        const int e = SSL_get_error(ssl_.get(), r);
        read_wants_write_ = e == SSL_ERROR_WANT_WRITE;
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return true;
        End(Ended::kLost,
            e == SSL_ERROR_ZERO_RETURN ? "the peer closed the connection" : "the connection broke");
        return false;
    }
}

bool Channel::WriteSome() {
    want_write_ = false;
    bool ok = true;
    while (Unsent() > 0) {
        const std::string& front = out_.front();
        const int length =
            retry_length_
                ? retry_length_
                : static_cast<int>(std::min<std::size_t>(front.size() - sent_, kWriteBytes));
        const int r = SSL_write(ssl_.get(), front.data() + sent_, length);
        if (r > 0) {
            sent_ += static_cast<std::size_t>(r);
            unsent_bytes_ -= static_cast<std::size_t>(r);
            retry_length_ = 0;
            if (sent_ == front.size()) {
                Spend(std::move(out_.front()));
                out_.pop_front();
                sent_ = 0;
            }
            continue;
        }
        const int e = SSL_get_error(ssl_.get(), r);
        if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) {
            retry_length_ = length;
            want_write_ = e == SSL_ERROR_WANT_WRITE;
        } else {
            ok = false;
        }
        break;
    }
    unsent_ = Unsent();
    return ok;
}

void Channel::Run() {
    NoSigpipe no_sigpipe;
    if (reader_.error() != ReadError::kNone && !why_) {
        Queue(Encode(Error{ErrorCodeFor(reader_.error()), "malformed message"}));
        End(Ended::kProtocolError, "malformed message");
    }
    while (!why_) {
        bool closing = false;
        {
            std::lock_guard lock(mu_);
            if (!started_ && handler_) started_ = handler_;
            for (auto& bytes : outbox_) Queue(std::move(bytes));
            outbox_.clear();
            outbox_bytes_ = 0;
            unsent_ = Unsent();
            closing = close_requested_;
            if (closing) {
                Queue(Encode(Bye{close_reason_, ""}));
                End(Ended::kClosedHere, "");
            }
        }
        Deliver();
        if (closing) break;
        if (!ReadAvailable()) break;
        Deliver();
        const std::size_t before = Unsent();
        const bool written = WriteSome();
        if (Unsent() < before && Unsent() + kSendWaitingLowWater <= kSendWaitingHighWater) {
            // A SendWaiting waits until a good part of the queue went, not for every record:
            // it then adds several messages at once.
            bool wake = false;
            {
                std::lock_guard lock(mu_);
                wake = outbox_bytes_ + Unsent() + kSendWaitingLowWater <= kSendWaitingHighWater;
            }
            if (wake) room_cv_.notify_all();
        }
        if (!written) {
            End(Ended::kLost, "the connection broke");
            break;
        }
        const bool paused = Paused();
        const bool waiting_for_start = !started_ && held_bytes_ > kMaxHeldBytes;
        const auto now = Clock::now();
        if (!waiting_for_start && now - last_received_ >= dead_after_) {
            End(Ended::kLost, "the peer went silent");
            break;
        }
        if (!pinged_ && now - last_received_ >= keepalive_) {
            pinged_ = true;
            Queue(Encode(Ping{next_token_++}));
            continue;
        }
        auto next = last_received_ + (pinged_ ? dead_after_ : keepalive_);
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now);
        short events = paused ? 0 : POLLIN;
        if (want_write_ || read_wants_write_) events |= POLLOUT;
        pollfd fds[2] = {{fd_.get(), events, 0}, {wake_.get(), POLLIN, 0}};
        int timeout =
            waiting_for_start ? -1 : static_cast<int>(std::max<long>(wait.count(), 0)) + 1;
        if ((more_ || SSL_has_pending(ssl_.get())) && !paused) timeout = 0;
        poll(fds, 2, timeout);
        if (fds[1].revents & POLLIN) Drain(wake_.get());
    }
    Finish();
}

void Channel::Finish() {
    {
        std::lock_guard lock(mu_);
        ended_ = true;
    }
    room_cv_.notify_all();
    // Say the last word (Bye, Error, a Pong) within a short time, then close the stream and
    // let the peer's last bytes in before closing the socket, so that ours are not cut by a
    // reset.
    const auto deadline = Clock::now() + std::chrono::milliseconds(1000);
    while (Unsent() > 0 && why_ != Ended::kLost) {
        if (!WriteSome()) break;
        if (Unsent() == 0 || !WaitReady(fd_.get(), want_write_ ? POLLOUT : POLLIN, deadline, -1))
            break;
    }
    SSL_shutdown(ssl_.get());
    ::shutdown(fd_.get(), SHUT_WR);
    const auto linger = std::min(deadline, Clock::now() + std::chrono::milliseconds(250));
    char sink[4096];
    while (why_ != Ended::kLost && WaitReady(fd_.get(), POLLIN, linger, -1))
        if (::recv(fd_.get(), sink, sizeof sink, MSG_DONTWAIT) <= 0) break;
    fd_.Reset();
    unsent_ = 0;

    // A session that ended before it was started tells its handler once it has one.
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return handler_ || close_requested_; });
    if (!started_) started_ = handler_;
    finished_ = true;
    lock.unlock();
    if (started_) {
        Deliver();
        started_->SessionClosed(*why_, detail_);
        started_.reset();
    }
    // The handler may hold the session: let go of it so that neither keeps the other.
    std::shared_ptr<ISessionHandler> last;
    lock.lock();
    last.swap(handler_);
    lock.unlock();
}

SessionChannel::SessionChannel(Opened opened, const SessionOptions& options)
    : channel_(std::make_shared<Channel>(std::move(opened), options)) {
    channel_->Begin(channel_);
}

SessionChannel::~SessionChannel() {
    channel_->Close(ByeReason::kUserClosed);
}

const SessionInfo& SessionChannel::Info() const {
    return channel_->info();
}
void SessionChannel::Start(std::shared_ptr<ISessionHandler> handler) {
    channel_->Start(std::move(handler));
}
bool SessionChannel::Send(const Message& message) {
    return channel_->Send(message);
}
bool SessionChannel::SendWaiting(const Message& message, std::chrono::milliseconds timeout) {
    return channel_->SendWaiting(message, timeout);
}
bool SessionChannel::SendFileWaiting(const FileMessage& message,
                                     std::chrono::milliseconds timeout) {
    return channel_->SendFileWaiting(message, timeout);
}
void SessionChannel::Close(ByeReason reason) {
    channel_->Close(reason);
}
bool SessionChannel::IsOpen() const {
    return channel_->IsOpen();
}

}  // namespace quorell::session
