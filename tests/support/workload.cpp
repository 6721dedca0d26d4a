#include "support/workload.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTimer>

#include "audio/wave_format.h"
#include "support/wait.h"

namespace quorell::test {

namespace {

using Clock = std::chrono::steady_clock;

const QString kOwn = QStringLiteral("自己[");
const QString kPeer = QStringLiteral("对方[");
const QString kDone = QStringLiteral("恭喜恭喜，文件传送完毕！");
const QString kShort = QStringLiteral("文件没有传送完整");
const QString kKeptAt = QStringLiteral("已收到的部分保存在：");
const QString kAccept = QStringLiteral("接收");
const QString kCancel = QStringLiteral("取消");
constexpr auto kUnconfirmedAfter = std::chrono::seconds(20);
constexpr auto kOfferPatience = std::chrono::seconds(20);
constexpr auto kAfterCancel = std::chrono::seconds(5);
constexpr auto kCancelSettles = std::chrono::milliseconds(300);
constexpr int kMaxNotes = 20;

// The text of line n of a side: its tag and number, then a mix of GBK and ASCII characters
// whose length and order depend on n, so a line mixed up with another never passes.
QString LineText(QChar tag, std::int64_t n) {
    static const QString alphabet =
        QStringLiteral("你好世界abcXYZ0123，。！文件视频语音-_=+()[]{}<>中文測試");
    QString text = QStringLiteral("Q%1#%2 ").arg(tag).arg(n);
    const std::int64_t length = 8 + n % 40;
    for (std::int64_t i = 0; i < length; ++i)
        text.append(alphabet[static_cast<qsizetype>((n * 7 + i * 3) % alphabet.size())]);
    return text + QLatin1Char('.');
}

// The text of a history line after its time stamp.
QString HistoryText(const QString& line) {
    const qsizetype at = line.indexOf(QStringLiteral("]: "));
    return at < 0 ? QString() : line.mid(at + 3);
}

bool IsFileReport(const QString& box) {
    return box.startsWith(kDone) || box.contains(kKeptAt) || box.startsWith(QStringLiteral("文件"));
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

struct Workload::ChatLane {
    ChatLane(Peer& f, Peer& t, QChar c) : from(f), to(t), tag(c) {}
    Peer& from;
    Peer& to;
    QChar tag;
    std::int64_t next = 0;
    bool in_flight = false;
    QString text_in_flight;
    Clock::time_point sent_at{};
    Clock::time_point confirmed_at{};
    std::vector<bool> seen;  // by line number, shown at the receiver
    std::int64_t sent = 0;
    std::int64_t shown = 0;
};

struct Workload::FileLane {
    enum class State { kIdle, kOffered, kAccepted, kCancelled };
    FileLane(Peer& f, Peer& t, QChar c) : from(f), to(t), tag(c) {}
    Peer& from;
    Peer& to;
    QChar tag;
    State state = State::kIdle;
    Clock::time_point since{};
    int number = 0;
    QByteArray bytes;
    QString source;
    QString target;
};

Workload::Workload(Peer& a, Peer& b, WorkloadOptions options) : a_(a), b_(b), options_(options) {
    chat_.push_back(std::make_unique<ChatLane>(a, b, QLatin1Char('A')));
    chat_.push_back(std::make_unique<ChatLane>(b, a, QLatin1Char('B')));
    files_.push_back(std::make_unique<FileLane>(a, b, QLatin1Char('A')));
    files_.push_back(std::make_unique<FileLane>(b, a, QLatin1Char('B')));
}

Workload::~Workload() = default;

bool Workload::Start(QString* why) {
    auto fail = [why](const QString& text) {
        if (why) *why = text;
        return false;
    };
    if (!dir_.isValid()) return fail(QStringLiteral("no temporary folder"));
    for (auto [from, to] : {std::pair{&a_, &b_}, std::pair{&b_, &a_}}) {
        from->TypeAddress(QString::fromStdString(to->address));
        from->Connect();
        if (!WaitUntil([&] { return from->form->Button1->isEnabled(); }))
            return fail(QStringLiteral("%1 cannot connect").arg(from->address.c_str()));
    }
    if (options_.video) {
        for (auto [from, to, port] : {std::tuple{&a_, &b_, options_.video_port_a},
                                      std::tuple{&b_, &a_, options_.video_port_b}}) {
            from->form->Edit2->setText(QString::number(port));
            from->form->Button3->click();
            if (!WaitUntil([&] {
                    return to->form->BitBtn1->isEnabled() &&
                           to->form->Edit3->text() == QString::number(port);
                }))
                return fail(QStringLiteral("video port %1 never announced").arg(port));
            to->form->BitBtn1->click();
            if (!to->form->IdUDPServer1.Active())
                return fail(QStringLiteral("video port %1 not bound").arg(port));
        }
    }
    if (options_.voice) {
        a_.tone->paced = true;
        b_.tone->paced = true;
        for (auto [from, to, port] : {std::tuple{&a_, &b_, options_.voice_port_a},
                                      std::tuple{&b_, &a_, options_.voice_port_b}}) {
            from->form->Edit4->setText(QString::number(port));
            from->dialogs.formats = {Gsm610Format()};
            from->form->BitBtn5->click();
            from->dialogs.formats.clear();
            if (from->form->BitBtn5->text() != QStringLiteral("取消语音"))
                return fail(QStringLiteral("voice on %1 does not start").arg(port));
            if (!WaitUntil([&] {
                    return to->form->BitBtn6->isEnabled() &&
                           to->form->Edit5->text() == QString::number(port);
                }))
                return fail(QStringLiteral("voice port %1 never announced").arg(port));
            to->dialogs.formats = {Gsm610Format()};
            to->form->BitBtn6->click();
            to->dialogs.formats.clear();
            if (to->form->BitBtn6->text() != QStringLiteral("取消接收"))
                return fail(QStringLiteral("voice on %1 is not received").arg(port));
        }
    }
    // What connecting and starting put in the histories and boxes is not part of the count.
    for (Peer* peer : {&a_, &b_}) {
        ReadBoxes(*peer);
        peer->form->Memo1->clear();
    }
    voice_before_ = a_.played->writes + b_.played->writes;
    timer_ = std::make_unique<QTimer>();
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { Step(); });
    timer_->start(10);
    return true;
}

bool Workload::Finish(std::chrono::milliseconds timeout) {
    finishing_ = true;
    return WaitUntil(
        [&] {
            for (const auto& lane : chat_)
                if (lane->in_flight) return false;
            for (const auto& lane : files_)
                if (lane->state != FileLane::State::kIdle) return false;
            return LinesMissing() == 0;
        },
        timeout);
}

std::int64_t Workload::LinesMissing() const {
    std::int64_t missing = 0;
    for (const auto& lane : chat_) missing += lane->sent - lane->shown;
    return missing;
}

QString Workload::Summary() const {
    const WorkloadCounters& c = counters_;
    return QStringLiteral(
               "lines sent %1 shown %2 garbled %3 repeated %4 unconfirmed %5 | files sent %6 "
               "identical %7 incomplete %8 corrupted %9 stalled %10 (not started %11, unreported "
               "%12) | frames %13 | voice blocks %14 | error boxes %15")
        .arg(c.lines_sent)
        .arg(c.lines_shown)
        .arg(c.lines_garbled)
        .arg(c.lines_repeated)
        .arg(c.lines_unconfirmed)
        .arg(c.files_sent)
        .arg(c.files_identical)
        .arg(c.files_incomplete)
        .arg(c.files_corrupted)
        .arg(c.files_stalled)
        .arg(c.files_not_started)
        .arg(c.files_unreported)
        .arg(c.frames_shown)
        .arg(c.voice_blocks)
        .arg(c.error_boxes);
}

void Workload::Note(const QString& text) {
    if (counters_.notes.size() < kMaxNotes) counters_.notes.push_back(text);
}

void Workload::Step() {
    ReadBoxes(a_);
    ReadBoxes(b_);
    ReadHistory(a_);
    ReadHistory(b_);
    if (options_.chat)
        for (auto& lane : chat_) StepChat(*lane);
    if (options_.files) StepFiles();
    counters_.frames_shown =
        a_.form->VideoReceiving().FramesShown() + b_.form->VideoReceiving().FramesShown();
    counters_.voice_blocks = a_.played->writes + b_.played->writes - voice_before_;
    // The recording outputs keep every block; only their number matters here.
    a_.played->blocks.clear();
    b_.played->blocks.clear();
}

void Workload::StepChat(ChatLane& lane) {
    const auto now = Clock::now();
    if (lane.in_flight) {
        if (now - lane.sent_at < kUnconfirmedAfter) return;
        lane.in_flight = false;
        ++counters_.lines_unconfirmed;
        Note(QStringLiteral("never in the sender's history: ") + lane.text_in_flight);
    }
    if (finishing_ || now - lane.confirmed_at < options_.chat_pause) return;
    lane.text_in_flight = LineText(lane.tag, lane.next++);
    lane.seen.push_back(false);
    lane.in_flight = true;
    lane.sent_at = now;
    lane.from.form->Memo2->setPlainText(lane.text_in_flight);
    lane.from.form->Button1->click();
}

void Workload::ReadHistory(Peer& peer) {
    const QString all = peer.form->Memo1->toPlainText();
    if (all.isEmpty()) return;
    for (const QString& line : all.split(QLatin1Char('\n'))) {
        const QString text = HistoryText(line);
        if (line.startsWith(kOwn)) {
            for (auto& lane : chat_) {
                if (&lane->from != &peer || !lane->in_flight || text != lane->text_in_flight)
                    continue;
                lane->in_flight = false;
                lane->confirmed_at = Clock::now();
                ++lane->sent;
                ++counters_.lines_sent;
            }
            continue;
        }
        if (!line.startsWith(kPeer)) continue;
        for (auto& lane : chat_) {
            if (&lane->to != &peer || !text.startsWith(QStringLiteral("Q%1#").arg(lane->tag)))
                continue;
            bool ok = false;
            const std::int64_t n = text.mid(3, text.indexOf(QLatin1Char(' ')) - 3).toLongLong(&ok);
            if (!ok || n < 0 || n >= lane->next || text != LineText(lane->tag, n)) {
                ++counters_.lines_garbled;
                Note(QStringLiteral("garbled line: ") + line);
            } else if (lane->seen[static_cast<std::size_t>(n)]) {
                ++counters_.lines_repeated;
                Note(QStringLiteral("repeated line: ") + line);
            } else {
                lane->seen[static_cast<std::size_t>(n)] = true;
                ++lane->shown;
                ++counters_.lines_shown;
            }
        }
    }
    // As the clear button would: the history of a long run is not kept.
    peer.form->Memo1->clear();
}

void Workload::ReadBoxes(Peer& peer) {
    for (const auto& call : peer.dialogs.calls) {
        const bool plain = call.kind == QStringLiteral("plain");
        if (plain && IsFileReport(call.text)) {
            FileLane* lane = files_[next_file_lane_].get();
            if (&lane->to == &peer && (lane->state == FileLane::State::kAccepted ||
                                       lane->state == FileLane::State::kCancelled)) {
                Judge(*lane, call.text);
                continue;
            }
        }
        if (plain || call.kind == QStringLiteral("error") ||
            call.kind == QStringLiteral("unreachable") || call.kind == QStringLiteral("confirm")) {
            ++counters_.error_boxes;
            Note(QStringLiteral("%1 box at %2: %3")
                     .arg(call.kind, QString::fromStdString(peer.address), call.text));
        }
    }
    peer.dialogs.calls.clear();
}

void Workload::StepFiles() {
    FileLane& lane = *files_[next_file_lane_];
    StepFile(lane);
}

void Workload::StepFile(FileLane& lane) {
    using State = FileLane::State;
    const auto now = Clock::now();
    TForm1& from = *lane.from.form;
    TForm1& to = *lane.to.form;
    switch (lane.state) {
        case State::kIdle: {
            if (finishing_ || !from.BitBtn4->isEnabled() || !to.BitBtn4->isEnabled()) return;
            ++lane.number;
            const QString name = QStringLiteral("%1-%2.bin").arg(lane.tag).arg(lane.number);
            QRandomGenerator random(options_.seed * 7919u + static_cast<quint32>(lane.number) * 2u +
                                    (lane.tag == QLatin1Char('A') ? 0u : 1u));
            const qsizetype size = options_.file_min_bytes +
                                   static_cast<qsizetype>(random.bounded(static_cast<quint64>(
                                       options_.file_max_bytes - options_.file_min_bytes + 1)));
            lane.bytes.resize(size);
            random.fillRange(reinterpret_cast<quint32*>(lane.bytes.data()), size / 4);
            for (qsizetype i = size / 4 * 4; i < size; ++i)
                lane.bytes[i] = static_cast<char>(random.generate());
            lane.source = dir_.filePath(QStringLiteral("send-") + name);
            lane.target = dir_.filePath(QStringLiteral("got-") + name);
            QFile file(lane.source);
            if (!file.open(QIODevice::WriteOnly) || file.write(lane.bytes) != size) {
                Note(QStringLiteral("cannot write ") + lane.source);
                return;
            }
            file.close();
            lane.from.dialogs.answers = {lane.source};
            from.BitBtn4->click();
            lane.state = State::kOffered;
            lane.since = now;
            return;
        }
        case State::kOffered:
            if (to.BitBtn7->isEnabled() && to.BitBtn7->text() == kAccept) {
                lane.to.dialogs.answers = {lane.target};
                to.BitBtn7->click();
                if (to.BitBtn7->text() != kCancel) {
                    Note(QStringLiteral("accepting %1 failed").arg(lane.source));
                    ++counters_.files_corrupted;
                    EndTransfer(lane);
                    return;
                }
                ++counters_.files_sent;
                lane.state = State::kAccepted;
                lane.since = now;
            } else if (now - lane.since > kOfferPatience) {
                Note(QStringLiteral("offer of %1 never reached the peer").arg(lane.source));
                ++counters_.files_stalled;
                EndTransfer(lane);
            }
            return;
        case State::kAccepted:
            if (now - lane.since < options_.file_patience) return;
            ++counters_.files_stalled;
            Note(QStringLiteral("%1 stalled: the receiver has %2, %3 of %4 bytes")
                     .arg(lane.source,
                          to.FileReceiving().RecvFileName().empty()
                              ? QStringLiteral("no name")
                              : QString::fromStdString(to.FileReceiving().RecvFileName()))
                     .arg(to.FileReceiving().Receiving()
                              ? QString::number(
                                    QFileInfo(lane.target + QStringLiteral(".part")).size())
                              : QStringLiteral("no file"))
                     .arg(lane.bytes.size()));
            if (to.BitBtn7->text() == kCancel) to.BitBtn7->click();
            lane.state = State::kCancelled;
            lane.since = now;
            return;
        case State::kCancelled:
            // A report may still come (from the cancel itself or the sender's end datagram).
            // Once both sides are back to idle, or at the latest after a while, what was kept
            // is looked at directly.
            if (now - lane.since < kAfterCancel &&
                (now - lane.since < kCancelSettles || to.FileReceiving().Receiving() ||
                 !from.BitBtn4->isEnabled() || !to.BitBtn4->isEnabled()))
                return;
            JudgeStalled(lane);
            EndTransfer(lane);
            return;
    }
}

void Workload::Judge(FileLane& lane, const QString& box) {
    if (box.startsWith(kDone)) {  // a further line may say the average speed
        if (ReadAll(lane.target) == lane.bytes) {
            ++counters_.files_identical;
        } else {
            ++counters_.files_corrupted;
            Note(QStringLiteral("reported complete but differs: ") + lane.target);
        }
    } else if (box.contains(kShort) && box.contains(kKeptAt)) {
        const QString part = box.mid(box.indexOf(kKeptAt) + kKeptAt.size());
        const QByteArray kept = ReadAll(part);
        if (QFile::exists(part) && kept.size() < lane.bytes.size() && lane.bytes.startsWith(kept) &&
            !QFile::exists(lane.target)) {
            ++counters_.files_incomplete;
        } else {
            ++counters_.files_corrupted;
            Note(QStringLiteral("short report but the kept part is wrong: ") + box);
        }
    } else {
        ++counters_.files_corrupted;
        Note(QStringLiteral("file report: ") + box);
    }
    EndTransfer(lane);
}

void Workload::JudgeStalled(FileLane& lane) {
    // Nothing was reported: whatever was written must still be a true beginning of the file.
    const QFileInfo target(lane.target);
    const QStringList kept =
        QDir(target.path()).entryList({target.fileName() + QStringLiteral("*")}, QDir::Files);
    if (kept.isEmpty()) {
        ++counters_.files_not_started;
        return;
    }
    for (const QString& name : kept) {
        const QByteArray bytes = ReadAll(target.dir().filePath(name));
        if (!name.endsWith(QStringLiteral(".part")) || !lane.bytes.startsWith(bytes)) {
            ++counters_.files_corrupted;
            Note(QStringLiteral("unreported file is wrong: ") + name);
            return;
        }
    }
    ++counters_.files_unreported;
    Note(QStringLiteral("kept but never reported: ") + kept.join(QLatin1Char(' ')));
}

void Workload::EndTransfer(FileLane& lane) {
    const QFileInfo target(lane.target);
    for (const QString& name :
         QDir(target.path()).entryList({target.fileName() + QStringLiteral("*")}, QDir::Files))
        QFile::remove(target.dir().filePath(name));
    QFile::remove(lane.source);
    lane.bytes.clear();
    lane.state = FileLane::State::kIdle;
    next_file_lane_ = (next_file_lane_ + 1) % files_.size();
}

}  // namespace quorell::test
