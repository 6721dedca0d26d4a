#include "transfer/file_receiver.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <limits>
#include <system_error>

#include "common/errors.h"
#include "common/gbk.h"
#include "protocol/control_lines.h"
#include "transfer/file_wire.h"

namespace quorell {

using protocol::Encode;
using protocol::LineKind;
namespace {

constexpr const char* kFallbackName = "received_file";

QString FromGbkBytes(std::string_view gbk) {
    const std::string utf8 = GbkToUtf8(gbk);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string ToGbkBytes(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return Utf8ToGbk(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

QString ErrorText(int error) {
    return QString::fromLocal8Bit(std::generic_category().message(error));
}

// The length text read as a 32-bit signed integer (an optional sign, then decimal digits); 0
// when it is anything else.
std::int32_t ParseInt32(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return 0;
    }
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return 0;
    return value;
}

// The length text as a count of bytes, when it is plain decimal digits.
std::optional<std::int64_t> ParsePlainDecimal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The name the save dialog opens on. The decoded text gets the same care as the bytes: no
// folder separator and nothing that names a folder.
QString DialogName(const std::string& received_name) {
    QString name = FromGbkBytes(ProposedBaseName(received_name));
    name.remove(QLatin1Char('/'));
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        name = QString::fromLatin1(kFallbackName);
    return name;
}

// Creates a new, empty file beside final_path to receive into: final_path + ".part", or
// ".1.part", ".2.part"... when that name is taken. Never opens an existing file.
int CreatePartFile(const QString& final_path, QString& part_path, int& error) {
    for (int n = 0; n < 1000; ++n) {
        part_path = n == 0 ? final_path + QStringLiteral(".part")
                           : final_path + QStringLiteral(".%1.part").arg(n);
        const int fd = ::open(QFile::encodeName(part_path).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        error = errno;
        if (error != EEXIST) return -1;
    }
    return -1;
}

}  // namespace

// The file being received: written under a name of its own beside the chosen one, and moved
// over the chosen name only once it is complete, so a short transfer never takes the place of
// a file the user chose to replace.
struct FileReceiver::Output {
    QString final_path;  // chosen in the save dialog
    QString part_path;   // where the bytes go until the file is complete
    int fd = -1;
    std::int64_t written = 0;  // bytes in the file
    std::string pending;       // bytes taken but not yet written (at most kWriteBlock)
    std::optional<std::int64_t> announced;
    // Where the length datagram came from: the sender's transfer socket.
    std::string source_address;
    int source_port = 0;
    int shown_percent = -1;
    // When the save dialog was answered: the measure of the transfer starts there.
    std::chrono::steady_clock::time_point opened = std::chrono::steady_clock::now();

    // Chunks are written to the file in blocks of this size: one write per chunk would cost a
    // system call on every round trip of the transfer.
    static constexpr std::size_t kWriteBlock = 64 * 1024;

    ~Output() { Close(); }

    // Writes what is pending and closes the file; false (with errno) when the system reports a
    // failure. `written` then tells how much of the file is really there.
    bool Close() {
        if (fd < 0) return true;
        bool ok = true;
        try {
            Flush();
        } catch (const std::exception&) {
            ok = false;
        }
        const int saved_errno = errno;
        const int result = ::close(fd);
        fd = -1;
        if (!ok) errno = saved_errno;
        return ok && result == 0;
    }

    // Takes bytes for the file; throws when the disk refuses them (what was written stays and
    // is counted).
    void Append(std::string_view bytes) {
        pending.append(bytes);
        if (pending.size() >= kWriteBlock) Flush();
    }

    void Flush() {
        std::string_view bytes = pending;
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd, bytes.data(), bytes.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                pending.clear();
                throw Error("Cannot write " + part_path.toStdString() + ": " +
                            std::generic_category().message(errno));
            }
            written += n;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        pending.clear();
    }

    // Bytes taken so far, written or pending.
    std::int64_t Taken() const { return written + static_cast<std::int64_t>(pending.size()); }

    // Until every announced byte has arrived, the sender sends nothing but chunks and, at the
    // end, the end datagram.
    bool Incomplete() const { return announced && Taken() < *announced; }
};

FileReceiver::FileReceiver(IFileReceiverWindow& window, IControlLink& control)
    : window_(window), control_(control) {}

FileReceiver::~FileReceiver() = default;

bool FileReceiver::Receiving() const {
    return out_ != nullptr;
}

std::int64_t FileReceiver::BytesTaken() const {
    return out_ ? out_->Taken() : 0;
}

void FileReceiver::Reset() {
    out_.reset();
    name_.clear();
    size_ = 0;
    announced_.reset();
    state_ = ReceiveState::Idle;
    run_source_.reset();
    offer_source_.clear();
}

void FileReceiver::SetState(ReceiveState state) {
    state_ = state;
    run_source_.reset();
    if (state == ReceiveState::Idle) offer_source_.clear();
    window_.ReceiveStateChanged();
}

void FileReceiver::PeerOffered(const std::string& source_address) {
    if (state_ == ReceiveState::Idle) SetState(ReceiveState::Offered);
    if (!source_address.empty()) offer_source_ = source_address;
}

void FileReceiver::ReceivePressed() {
    if (state_ != ReceiveState::Accepted) {
        if (!control_.SendControlLine(Encode(LineKind::FileAccepted))) return;
        AcceptedHere();
        window_.SetSendFileEnabled(false);
        return;
    }
    if (!control_.SendControlLine(Encode(LineKind::FileCancelled))) return;
    window_.ShowProgress(false);
    window_.SetSendFileEnabled(true);
    CancelledHere();
}

void FileReceiver::AcceptedHere() {
    SetState(ReceiveState::Accepted);
}

void FileReceiver::OnDatagram(std::string_view data, const std::string& source_address,
                              int source_port, const Reply& reply) {
    if (out_) {
        // A file is being received: only its sender may add to it or end it.
        if (source_address != out_->source_address) return;
        if (source_port != out_->source_port) {
            // The sender's cancel may come from a new socket of the same machine.
            if (data == wire::kEndMarker) OnEnd(reply);
            return;
        }
        if (out_->Incomplete()) {
            // Every datagram is file content, whatever bytes it holds. The end datagram is the
            // exception, unless it is exactly the missing rest of the file.
            if (data == wire::kEndMarker &&
                out_->Taken() + static_cast<std::int64_t>(data.size()) != *out_->announced) {
                OnEnd(reply);
            } else {
                OnChunk(data, reply);
            }
            return;
        }
    }
    // Nothing is being received. While the user has accepted an offer, only its sender is
    // heard, from whatever address it sends; a length opens the save dialog only then (see
    // OnLength); an end with nothing open ends only what this side is waiting for, so neither
    // a stranger nor the late end of a cancelled run undoes the user's acceptance.
    if (data.find(wire::kNameMarker) != std::string_view::npos) {
        if (state_ == ReceiveState::Accepted && !TakeAsRun(source_address, source_port)) return;
        OnName(data, reply);
    } else if (data.find(wire::kLengthMarker) != std::string_view::npos) {
        OnLength(data, source_address, source_port, reply);
    } else if (data.find(wire::kEndMarker) != std::string_view::npos) {
        if (EndsWhatIsWaited(source_address, source_port)) OnEnd(reply);
    } else {
        OnChunk(data, reply);
    }
}

bool FileReceiver::TakeAsRun(const std::string& source_address, int source_port) {
    const std::pair<std::string, int> source(source_address, source_port);
    if (run_source_ == source) return true;
    if (run_source_ && FromPeer(run_source_->first)) return false;
    // Once the peer's machine is known, nobody else names the file.
    if (!FromPeer(source_address) && (run_source_ || !offer_source_.empty())) return false;
    run_source_ = source;
    return true;
}

bool FileReceiver::FromPeer(const std::string& source_address) {
    return window_.IsPeerAddress(source_address) ||
           (!offer_source_.empty() && source_address == offer_source_);
}

bool FileReceiver::EndsWhatIsWaited(const std::string& source_address, int source_port) const {
    switch (state_) {
        case ReceiveState::Accepted:
            // Only the run that answers this acceptance; before it has named its file, the end
            // is that of the run the user cancelled before accepting again.
            return run_source_ && run_source_->first == source_address &&
                   run_source_->second == source_port;
        case ReceiveState::Cancelled:
            return true;
        case ReceiveState::Idle:
        case ReceiveState::Offered:
            break;
    }
    return false;  // no transfer to end
}

void FileReceiver::OnName(std::string_view data, const Reply& reply) {
    name_.assign(data.substr(wire::kNameMarker.size()));
    reply(wire::kNameOk);
}

void FileReceiver::OnLength(std::string_view data, const std::string& source_address,
                            int source_port, const Reply& reply) {
    const std::string_view length = data.substr(wire::kLengthMarker.size());
    size_ = ParseInt32(length);
    announced_ = ParsePlainDecimal(length);

    // Anyone on the network can send this; only an offer the user accepted opens a dialog.
    // ...and only from the socket that named the file.
    if (state_ != ReceiveState::Accepted ||
        run_source_ != std::make_pair(source_address, source_port)) {
        reply(wire::kLengthCancel);
        return;
    }
    const QString chosen = window_.AskSaveFileName(DialogName(name_));
    if (chosen.isEmpty()) {
        reply(wire::kLengthCancel);
        return;
    }
    name_ = ToGbkBytes(chosen);
    // An earlier file still open is closed with what it holds, under its partial name.
    out_.reset();

    auto out = std::make_unique<Output>();
    out->final_path = chosen;
    int error = 0;
    out->fd = CreatePartFile(chosen, out->part_path, error);
    if (out->fd < 0) {
        reply(wire::kLengthCancel);
        window_.PlainBox(QStringLiteral("无法在所选的位置接收文件：%1\r\n%2")
                             .arg(out->part_path, ErrorText(error)));
        return;
    }
    out->announced = announced_;
    out->source_address = source_address;
    out->source_port = source_port;
    out_ = std::move(out);
    window_.ShowProgress(true);
    reply(wire::kLengthOk);
}

void FileReceiver::OnChunk(std::string_view data, const Reply& reply) {
    if (!out_) return;
    out_->Append(data);
    // Without a usable length the bar stays where it is.
    if (size_ != 0) {
        const int percent = wire::ProgressPercent(out_->Taken(), size_);
        if (percent != out_->shown_percent) {
            out_->shown_percent = percent;
            window_.SetProgress(percent);
        }
    }
    reply(wire::kPackageOk);
}

FileReceiver::Outcome FileReceiver::CloseOutput(Output& out) {
    Outcome outcome;
    const bool closed = out.Close();
    if (!closed) outcome.error = errno;
    outcome.complete = out.announced && out.written == *out.announced;
    if (closed && outcome.complete) {
        // Replaces a file of that name in one step, so it is never half there.
        if (::rename(QFile::encodeName(out.part_path).constData(),
                     QFile::encodeName(out.final_path).constData()) == 0) {
            outcome.saved = true;
        } else {
            outcome.error = errno;
        }
    }
    return outcome;
}

void FileReceiver::OnEnd(const Reply& reply) {
    window_.ShowProgress(false);
    const std::unique_ptr<Output> out = std::move(out_);
    Outcome outcome;
    if (out) {
        outcome = CloseOutput(*out);
        // The sender has closed its socket by now and never reads this; a failure to send it
        // must not keep the user from hearing how the transfer went.
        try {
            reply(wire::kFileOk);
        } catch (...) {
        }
    }
    name_.clear();
    size_ = 0;
    announced_.reset();
    SetState(ReceiveState::Idle);
    window_.TransferEnded();

    // Nothing was being received (the save dialog was cancelled, or the datagram is a stray):
    // there is nothing to report, least of all a success.
    if (!out) return;
    Report(*out, outcome, true);
}

void FileReceiver::CancelledHere() {
    SetState(ReceiveState::Cancelled);
    if (!out_) return;
    const std::unique_ptr<Output> out = std::move(out_);
    name_.clear();
    size_ = 0;
    announced_.reset();
    // The peer has had the cancel; what arrived is for this side's user.
    Report(*out, CloseOutput(*out), false);
}

void FileReceiver::Report(const Output& out, const Outcome& outcome, bool tell_peer) {
    if (outcome.complete && outcome.saved) {
        if (tell_peer && !control_.SendControlLine(Encode(LineKind::FileCompleted))) return;
        // The sender's end closes the measure; a cancel here leaves it without an end.
        TransferStats stats{out.written, 0};
        if (tell_peer)
            stats.seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - out.opened)
                    .count();
        window_.TransferCompleted(stats);
        return;
    }

    const QString received = QString::number(out.written);
    QString what;
    if (outcome.complete) {
        what = QStringLiteral("文件已全部收到，但无法保存为：%1\r\n%2")
                   .arg(out.final_path, ErrorText(outcome.error));
    } else if (!out.announced) {
        what = QStringLiteral("文件长度无法核对：收到了 %1 字节。").arg(received);
    } else if (out.written < *out.announced) {
        what = QStringLiteral("文件没有传送完整：只收到了 %1 字节，共 %2 字节。")
                   .arg(received, QString::number(*out.announced));
    } else {
        what = QStringLiteral("文件长度不符：收到了 %1 字节，而对方告知的是 %2 字节。")
                   .arg(received, QString::number(*out.announced));
    }
    if (tell_peer) {
        // The peer hears the same, except after a complete transfer that only failed to be put
        // in place here: for the sender, that file arrived.
        const std::string notice = outcome.complete ? Encode(LineKind::FileCompleted)
                                                    : Utf8ToGbk("[系统消息]：") + ToGbkBytes(what);
        try {
            control_.SendControlLine(notice);
        } catch (...) {
            // The user is told below in any case.
        }
    }
    window_.PlainBox(what + QStringLiteral("\r\n已收到的部分保存在：") + out.part_path);
}

std::string ProposedBaseName(const std::string& received_name) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(received_name.data());
    const std::size_t n = received_name.size();
    auto lead = [](unsigned char c) { return c >= 0x81 && c <= 0xFE; };
    auto digit = [](unsigned char c) { return c >= 0x30 && c <= 0x39; };

    std::size_t start = 0;
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = bytes[i];
        if (lead(c) && i + 1 < n) {
            const unsigned char next = bytes[i + 1];
            // A four-byte character: none of its bytes is a separator.
            if (digit(next) && i + 3 < n && lead(bytes[i + 2]) && digit(bytes[i + 3])) {
                i += 4;
                continue;
            }
            // A double-byte character: its second byte may have the value of '\'.
            if (next >= 0x40 && next != 0x7F && next != 0xFF) {
                i += 2;
                continue;
            }
        }
        if (c == '\\' || c == '/' || c == ':') start = i + 1;
        ++i;
    }

    std::string base;
    base.reserve(n - start);
    for (std::size_t i = start; i < n; ++i)
        if (bytes[i] >= 0x20 && bytes[i] != 0x7F) base.push_back(static_cast<char>(bytes[i]));
    if (base.empty() || base == "." || base == "..") return kFallbackName;
    return base;
}

}  // namespace quorell
