// The file receiver: a run of datagrams from a few source addresses and ports, with the user's
// answers, all decoded from the input. It must never crash, never write anywhere but the chosen
// file (and the partial file beside it), never change a file the user chose to replace unless
// the transfer succeeded, and never report success for a file that is not exactly the bytes it
// acknowledged, as many as were announced.
#include <dirent.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <QFile>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "common/errors.h"
#include "fuzz_check.h"
#include "protocol/control_lines.h"
#include "transfer/file_receiver.h"
#include "transfer/file_wire.h"

namespace {

using namespace quorell;

const std::string kKept = "old content of a file the user may choose to replace";
const QString kSuccessBox = QString::fromUtf8("恭喜恭喜，文件传送完毕！");

// A private folder for the whole run, emptied before every input.
class Folder {
public:
    Folder() {
        // In memory when the system has it: files come and go with every input.
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
        std::string pattern = base ? base : "/tmp";
        pattern += "/quorell-fuzz-XXXXXX";
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        path_ = pattern;
    }
    ~Folder() {
        Clear();
        rmdir(path_.c_str());
    }
    std::set<std::string> Names() const {
        std::set<std::string> names;
        if (DIR* dir = opendir(path_.c_str())) {
            while (dirent* e = readdir(dir)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") names.insert(name);
            }
            closedir(dir);
        }
        return names;
    }
    void Clear() const {
        for (const std::string& name : Names()) unlink((path_ + "/" + name).c_str());
    }
    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::optional<std::string> ReadFile(const std::string& path) {
    QFile file(QFile::decodeName(path.c_str()));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    return file.readAll().toStdString();
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    QFile file(QFile::decodeName(path.c_str()));
    return file.open(QIODevice::WriteOnly) &&
           file.write(bytes.data(), static_cast<qint64>(bytes.size())) ==
               static_cast<qint64>(bytes.size());
}

// The transfer the receiver acknowledged a length for, as the replies tell it.
struct Transfer {
    std::string final_path;
    std::optional<std::uint64_t> announced;
    std::string acknowledged;  // every chunk answered "package OK", in order
};

struct Window : IFileReceiverWindow, IControlLink {
    Window(FuzzedDataProvider& p, const Folder& f) : provider(p), folder(f) {}

    QString AskSaveFileName(const QString& proposed) override {
        FUZZ_CHECK(!proposed.isEmpty() && proposed != "." && proposed != "..");
        FUZZ_CHECK(!proposed.contains('/'));
        for (QChar c : proposed) FUZZ_CHECK(c.unicode() >= 0x20 && c.unicode() != 0x7F);
        std::string chosen;
        switch (provider.ConsumeIntegralInRange(0, 4)) {
            case 0:
                return {};
            case 1:
                chosen = folder.Path("out.bin");
                break;
            case 2:
                chosen = folder.Path("keep.bin");
                break;
            case 3:
                chosen = folder.path() + "/" + QFile::encodeName(proposed).toStdString();
                break;
            default:
                chosen = folder.Path("missing/out.bin");  // a folder that is not there
                break;
        }
        this->chosen = chosen;
        return QFile::decodeName(chosen.c_str());
    }
    void ShowProgress(bool) override {}
    void SetProgress(int percent) override { FUZZ_CHECK(percent >= 0 && percent <= 100); }
    void SetSendFileEnabled(bool) override {}
    void TransferEnded() override { ended = true; }
    bool SendControlLine(const std::string& line) override {
        if (line == lines::Wire(lines::kFileCompleted)) completion_notice = true;
        switch (provider.ConsumeIntegralInRange(0, 2)) {
            case 0:
                return true;
            case 1:
                return false;  // the peer cannot be reached
            default:
                throw Error("Socket Error # 10054\r\nConnection reset by peer.");
        }
    }
    void TransferCompleted(const TransferStats&) override { success_box = true; }
    void PlainBox(const QString& text) override { success_box |= text == kSuccessBox; }

    FuzzedDataProvider& provider;
    const Folder& folder;
    std::string chosen;  // the last path the save dialog answered
    bool ended = false;
    bool completion_notice = false;
    bool success_box = false;
};

// The length text as the receiver reads it: everything after the marker's length, counted as
// bytes only when it is plain decimal digits.
std::optional<std::uint64_t> Announced(const std::string& datagram) {
    const std::string text = datagram.substr(wire::kLengthMarker.size());
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > std::uint64_t{1} << 62) return std::nullopt;  // no such file arrives here
    }
    return value;
}

std::string NextDatagram(FuzzedDataProvider& provider, int kind) {
    switch (kind) {
        case 4:
            return std::string(wire::kNameMarker) + provider.ConsumeRandomLengthString(300);
        case 5:
            return std::string(wire::kLengthMarker) + provider.ConsumeRandomLengthString(24);
        case 6:
            return std::string(wire::kLengthMarker) +
                   std::to_string(provider.ConsumeIntegralInRange<std::uint32_t>(0, 5000));
        case 7:
            return std::string(wire::kEndMarker);
        default:
            return provider.ConsumeRandomLengthString(2048);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Folder folder;
    static const int kPorts[] = {4000, 4000, 4001, 5000};

    folder.Clear();
    const std::string keep_path = folder.Path("keep.bin");
    FUZZ_CHECK(WriteFile(keep_path, kKept));

    FuzzedDataProvider provider(data, size);
    Window window(provider, folder);
    std::optional<Transfer> transfer;
    std::set<std::string> chosen;                // every path the dialog answered
    std::map<std::string, std::string> success;  // files reported complete, with their bytes
    success[keep_path] = kKept;
    {
        FileReceiver receiver(window, window);
        for (int n = 0; n < 64 && provider.remaining_bytes() > 0; ++n) {
            const auto selector = provider.ConsumeIntegral<std::uint8_t>();
            const std::string address = selector & 1 ? "127.0.0.2" : "127.0.0.1";
            const int port = kPorts[(selector >> 1) & 3];
            const std::string datagram = NextDatagram(provider, (selector >> 3) & 7);

            // The user accepts the peer's offer now and then.
            if (receiver.State() != ReceiveState::Accepted && provider.ConsumeBool())
                receiver.AcceptedHere();
            window.ended = window.completion_notice = window.success_box = false;
            std::string reply;
            try {
                receiver.OnDatagram(datagram, address, port,
                                    [&](std::string_view text) { reply = text; });
            } catch (const Error&) {
                // The datagram server drops it and carries on.
            }
            if (!window.chosen.empty()) chosen.insert(window.chosen);
            if (getenv("QUORELL_FUZZ_TRACE")) {
                std::fprintf(stderr, "%s:%d %zu bytes -> '%s'%s%s\n", address.c_str(), port,
                             datagram.size(), reply.c_str(), window.ended ? " ended" : "",
                             window.completion_notice ? " completed" : "");
            }

            if (reply == wire::kLengthOk) {
                transfer = Transfer{window.chosen, Announced(datagram), {}};
            } else if (reply == wire::kPackageOk) {
                FUZZ_CHECK(transfer.has_value());
                transfer->acknowledged += datagram;
            }
            // The peer hears of success only for a whole file, which is then in place (this
            // folder never refuses the move); the user's box says so only after the peer.
            if (window.completion_notice) {
                FUZZ_CHECK(transfer && transfer->announced &&
                           *transfer->announced == transfer->acknowledged.size());
                FUZZ_CHECK(ReadFile(transfer->final_path) == transfer->acknowledged);
                success[transfer->final_path] = transfer->acknowledged;
            }
            FUZZ_CHECK(!window.success_box || window.completion_notice);
            if (window.ended) transfer.reset();
            FUZZ_CHECK(ReadFile(keep_path) == success[keep_path]);
        }
    }

    // Only the chosen files, as far as they were reported complete, and partial files beside
    // chosen ones.
    for (const std::string& name : folder.Names()) {
        const std::string path = folder.Path(name);
        if (success.count(path)) {
            FUZZ_CHECK(ReadFile(path) == success[path]);
            continue;
        }
        bool beside_chosen = false;
        for (const std::string& c : chosen) {
            if (path.rfind(c + ".", 0) != 0 || path.size() < c.size() + 5) continue;
            const std::string middle = path.substr(c.size(), path.size() - c.size() - 5);
            beside_chosen = path.compare(path.size() - 5, 5, ".part") == 0 &&
                            (middle.empty() ||
                             (middle.size() >= 2 && middle[0] == '.' &&
                              middle.find_first_not_of("0123456789", 1) == std::string::npos));
            if (beside_chosen) break;
        }
        FUZZ_CHECK(beside_chosen);
    }
    return 0;
}
