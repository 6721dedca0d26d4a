#include "transfer/send_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "common/errors.h"
#include "common/gbk.h"
#include "common/worker.h"
#include "protocol/control_lines.h"
#include "transfer/file_wire.h"

namespace quorell {
namespace {

// A wait for a reply looks at the cancel mark at least this often (milliseconds), should a
// cancel close the link just before the wait begins and so fail to wake it.
constexpr int kWaitSlice = 100;

std::string ToGbkBytes(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return Utf8ToGbk(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const QString& path)
        : fd_(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {}
    ~ReadOnlyFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    // The size of a regular file; nothing when it could not be opened or is no regular file
    // (a folder, a pipe or a device has no length to announce).
    std::optional<std::int64_t> Size() const {
        struct stat st {};
        if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
        return static_cast<std::int64_t>(st.st_size);
    }

    // Reads exactly count bytes; a file that has become shorter is a read failure. Reads ahead
    // in blocks, so the transfer does not pay a system call for every chunk.
    void ReadFully(char* buffer, std::size_t count) {
        while (count > 0) {
            if (head_ == ahead_.size()) Fill();
            const std::size_t n = std::min(count, ahead_.size() - head_);
            std::memcpy(buffer, ahead_.data() + head_, n);
            head_ += n;
            buffer += n;
            count -= n;
        }
    }

private:
    void Fill() {
        ahead_.resize(kReadBlock);
        head_ = 0;
        for (;;) {
            const ssize_t n = ::read(fd_, ahead_.data(), ahead_.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                ahead_.clear();
                throw std::system_error(errno, std::generic_category(), "read");
            }
            ahead_.resize(static_cast<std::size_t>(n));
            if (n == 0) throw Error("The file became shorter while it was sent.");
            return;
        }
    }

    static constexpr std::size_t kReadBlock = 64 * 1024;
    int fd_;
    std::string ahead_;     // bytes read from the file and not yet sent
    std::size_t head_ = 0;  // of ahead_, the next byte to send
};

}  // namespace

void ShowSendState(SendState& state, SendState now, IFileSenderWindow& window) {
    state = now;
    window.SetSendFileEnabled(now != SendState::Sending);
}

FileSendControl::FileSendControl(std::shared_ptr<UiBridge> bridge,
                                 SharedWindowRef<IFileSenderWindow> window,
                                 std::shared_ptr<IFileLink> link,
                                 std::shared_ptr<IControlLink> control)
    : bridge_(std::move(bridge)),
      window_(std::move(window)),
      link_(std::move(link)),
      control_(std::move(control)),
      socket_turn_(std::make_shared<std::mutex>()),
      state_(std::make_shared<SendState>(SendState::Idle)) {}

FileSendControl::~FileSendControl() {
    if (!run_) return;
    std::lock_guard guard(run_->guard);
    run_->cancelled = true;
    link_->Close();
}

void FileSendControl::Offer(const QString& path) {
    IFileSenderWindow& window = window_->Get();
    // A file the peer could not take is not offered: it would wait for a file that never
    // comes.
    const QFileInfo file(path);
    if (file.isFile() && file.size() > Send_file::kMaxFileSize) {
        window.PlainBox(Send_file::TooLargeText(path, file.size()));
        return;
    }
    window.SetFileToSend(path);
    if (control_->SendControlLine(protocol::Encode(protocol::LineKind::FileOffered)) &&
        *state_ == SendState::Idle)
        *state_ = SendState::Offered;
}

void FileSendControl::PeerAccepted() {
    // One run at a time: two would share the link, each taking the other's replies, and the
    // progress bar. The peer accepts only after its user cancelled (or before any run), so the
    // cancel notice is on its way, on a connection of its own that was overtaken.
    if (run_ && !run_->cancelled && !run_->finished) {
        run_->accepted_again = true;
        return;
    }
    auto run = std::make_shared<FileSendRun>();
    Send_file::Start(
        std::make_shared<Send_file>(bridge_, link_, control_, window_, run, socket_turn_, state_));
    run_ = std::move(run);
}

void FileSendControl::PeerCancelled() {
    if (EndRun()) PeerAccepted();
}

void FileSendControl::StopHere() {
    EndRun();
}

bool FileSendControl::EndRun() {
    const std::shared_ptr<FileSendRun> run = run_;
    bool accepted_again = false;
    {
        std::unique_lock<std::mutex> guard;
        // The peer host is set only by a sender's hand-off, on this thread. Without one there is
        // no peer to tell; the run's own resolved address spares a look-up here.
        std::string to = link_->PeerHost();
        if (run) {
            guard = std::unique_lock(run->guard);
            run->cancelled = true;
            accepted_again = std::exchange(run->accepted_again, false);
            if (run->refused) {
                to.clear();  // the peer never heard of this run; an end would tell it "done"
            } else if (!run->target.empty()) {
                to = run->target;
            }
        }
        try {
            if (!to.empty()) link_->Send(to, wire::kEndMarker);
        } catch (const std::exception&) {
            // Only the peer's end is missed; this side must not stay in the sending state.
        }
        IFileSenderWindow& window = window_->Get();
        window.ShowProgress(false);
        // Wakes a sender waiting for a reply; it sees the mark and ends without another word.
        link_->Close();
        ShowSendState(*state_, SendState::Idle, window);
    }
    return accepted_again;
}

Send_file::Send_file(std::shared_ptr<UiBridge> bridge, std::shared_ptr<IFileLink> link,
                     std::shared_ptr<IControlLink> control,
                     SharedWindowRef<IFileSenderWindow> window, std::shared_ptr<FileSendRun> run,
                     std::shared_ptr<std::mutex> socket_turn, std::shared_ptr<SendState> state)
    : bridge_(std::move(bridge)),
      link_(std::move(link)),
      control_(std::move(control)),
      window_(std::move(window)),
      run_(std::move(run)),
      socket_turn_(std::move(socket_turn)),
      state_(state ? std::move(state) : std::make_shared<SendState>(SendState::Idle)) {}

void Send_file::Start(std::shared_ptr<Send_file> worker) {
    StartDetachedWorker([worker = std::move(worker)] { worker->Execute(); });
}

void Send_file::Execute() noexcept {
    try {
        Run();
    } catch (...) {
        // A link or file failure, a cancel, or a closing window ends the run without a word.
    }
    run_->finished = true;
}

QString Send_file::TooLargeText(const QString& path, std::int64_t size) {
    return QStringLiteral(
               "文件太大，不能传送：%1\r\n它有 %2 字节，能传送的文件必须"
               "小于 2147483648 字节（2 GB）。")
        .arg(path, QString::number(size));
}

bool Send_file::Send(const void* bytes, std::size_t count) {
    std::lock_guard guard(run_->guard);
    if (Cancelled()) return false;
    link_->Send(target_, std::string_view(static_cast<const char*>(bytes), count));
    return true;
}

void Send_file::Refuse(const QString& path, std::int64_t size) {
    {
        std::lock_guard guard(run_->guard);
        if (Cancelled()) return;
        run_->refused = true;
        link_->Close();
    }
    const WindowRef<IFileSenderWindow>* ref = window_.get();
    bridge_->Invoke([&] {
        if (Cancelled()) return;
        IFileSenderWindow& window = ref->Get();
        window.ShowProgress(false);
        ShowSendState(*state_, SendState::Idle, window);
        control_->SendControlLine(
            Utf8ToGbk("[系统消息]：对方要传送的文件太大，无法传送，请按“取消”。"));
        window.PlainBox(TooLargeText(path, size));
    });
}

std::optional<std::string> Send_file::AwaitReply() {
    using Clock = std::chrono::steady_clock;
    const int timeout = link_->ReplyTimeout();
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout, 0));
    auto cancelled = [this]() -> bool {
        if (!Cancelled()) return false;
        // A wait that began after the cancel closed the link has opened it again: close it
        // again, as the cancel left it.
        std::lock_guard guard(run_->guard);
        link_->Close();
        return true;
    };
    for (;;) {
        if (cancelled()) return std::nullopt;
        int slice = kWaitSlice;
        if (timeout >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            slice = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, kWaitSlice));
        }
        std::optional<std::string> reply;
        try {
            reply = link_->Receive(slice);
        } catch (...) {
            if (cancelled()) return std::nullopt;
            throw;
        }
        if (cancelled()) return std::nullopt;
        // An empty datagram is a reply too (a refusal).
        if (reply) return reply;
        if (timeout >= 0 && Clock::now() >= deadline) return std::string();
    }
}

bool Send_file::Finish() {
    if (!Send(wire::kEndMarker)) return false;
    const WindowRef<IFileSenderWindow>* ref = window_.get();
    const bool go = bridge_->Call([&] {
        if (Cancelled()) return false;
        IFileSenderWindow& window = ref->Get();
        window.ShowProgress(false);
        ShowSendState(*state_, SendState::Idle, window);
        return true;
    });
    if (!go) return false;
    std::lock_guard guard(run_->guard);
    if (!Cancelled()) link_->Close();
    return true;
}

void Send_file::Run() {
    std::unique_lock<std::mutex> turn;
    if (socket_turn_) turn = std::unique_lock(*socket_turn_);
    const WindowRef<IFileSenderWindow>* ref = window_.get();
    IFileLink* link = link_.get();

    struct Begin {
        bool go = false;
        QString path;
        std::string host;
    };
    const Begin begin = bridge_->Call([&]() -> Begin {
        if (Cancelled()) return {};
        IFileSenderWindow& window = ref->Get();
        ShowSendState(*state_, SendState::Sending, window);
        window.ShowProgress(true);
        // Set here, on the user-interface thread, where the cancel reads it.
        link->SetPeerHost(window.PeerAddressAsTyped());
        return {true, window.FileToSend(), link->PeerHost()};
    });
    if (!begin.go) return;
    // Looked up once, holding nothing: a cancel meanwhile must not wait for the resolver.
    const std::string target = link->Resolve(begin.host);

    // A length the receiver cannot hold is refused before the file is named to it.
    {
        struct stat st {};
        if (::stat(QFile::encodeName(begin.path).constData(), &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_size > kMaxFileSize) {
            Refuse(begin.path, st.st_size);
            return;
        }
    }
    {
        std::lock_guard guard(run_->guard);
        if (Cancelled()) return;
        run_->target = target;
        target_ = target;
        link->Open();
    }

    if (!Send(std::string(wire::kNameMarker) + ToGbkBytes(begin.path))) return;
    std::optional<std::string> reply = AwaitReply();
    if (!reply || wire::AsciiUpper(*reply) != wire::kNameOkUpper) return;

    ReadOnlyFile file(begin.path);
    const std::optional<std::int64_t> size = file.Size();
    if (!size) return;
    if (*size > kMaxFileSize) {  // it grew since it was looked at
        Refuse(begin.path, *size);
        return;
    }

    run_->size = *size;
    if (!Send(std::string(wire::kLengthMarker) + std::to_string(*size))) return;
    reply = AwaitReply();
    if (!reply) return;
    if (wire::AsciiUpper(*reply) != wire::kLengthOkUpper) {
        bridge_->Invoke([&] {
            if (Cancelled()) return;
            IFileSenderWindow& window = ref->Get();
            window.ResetReceiveCaption();
            window.ShowProgress(false);
        });
        return;
    }

    std::array<char, kChunkSize> chunk;
    std::int64_t sent = 0;
    int shown = -1;
    while (sent < *size) {
        const auto length =
            static_cast<std::size_t>(std::min<std::int64_t>(kChunkSize, *size - sent));
        file.ReadFully(chunk.data(), length);
        if (!Send(chunk.data(), length)) return;
        sent += static_cast<std::int64_t>(length);
        const int percent = wire::ProgressPercent(sent, *size);
        if (percent != shown) {
            shown = percent;
            const bool go = bridge_->Call([&] {
                if (Cancelled()) return false;
                ref->Get().SetProgress(percent);
                return true;
            });
            if (!go) return;
        }
        reply = AwaitReply();
        if (!reply) return;
        if (wire::AsciiUpper(*reply) != wire::kPackageOkUpper) break;
        run_->acknowledged = sent;
    }
    Finish();
}

}  // namespace quorell
