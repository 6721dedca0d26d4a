// The window's side of the kept history: each history line handed to the keeper as its text,
// a peer's earlier lines shown again above this run's when it connects (a page at a time, older
// pages on scrolling to the top), clearing, searching, exporting and the setting.
#include <QAction>
#include <QDateTime>
#include <QLineEdit>
#include <QMenu>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QSettings>
#include <QStandardPaths>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <optional>

#include "app/dialogs.h"
#include "app/form1.h"
#include "app/history.h"
#include "app/qt_text.h"
#include "keep/history_export.h"
#include "keep/history_keeper.h"

namespace quorell {

namespace {

constexpr int kPage = 100;         // lines loaded at a time: more than a screen
constexpr int kSearchLimit = 50;   // matches shown, the latest
constexpr int kShownLength = 200;  // characters of a match shown
constexpr std::int64_t kBeforeRun = -1;

std::string Utf8(const QString& text) {
    return text.toUtf8().toStdString();
}

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

// The history line a kept record is shown as: the prefix of its kind, its own time stamp.
QString KeptLine(const keep::Record& record) {
    QString prefix = kOwnPrefix;
    if (record.kind == keep::Kind::kPeer) prefix = kPeerPrefix;
    if (record.kind == keep::Kind::kPeerUnencrypted) prefix = kUnencryptedPeerPrefix;
    return HistoryLine(prefix, FromUtf8(record.text),
                       QDateTime::fromMSecsSinceEpoch(record.time_ms));
}

class TForm1::KeptView {
public:
    explicit KeptView(TForm1& form) : form_(form) {
        QScrollBar* bar = form_.Memo1->verticalScrollBar();
        QObject::connect(bar, &QScrollBar::valueChanged, &context_, [this, bar](int value) {
            if (value == bar->minimum() && bar->maximum() > bar->minimum()) Older();
        });
        if (form_.config_.keep_history) Start();
    }
    // The keeper goes first: it writes what is queued and its thread ends, so nothing is posted
    // to the context after it.
    ~KeptView() { keeper_.reset(); }

    bool On() const { return keeper_ != nullptr; }
    bool More() const { return On() && more_ && !shown_key_.empty(); }

    void Start() {
        if (keeper_) return;
        const QString folder =
            form_.config_.history_folder.empty()
                ? QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)
                : QString::fromStdString(form_.config_.history_folder);
        keep::HistoryKeeper::Options options;
        options.path = Utf8(folder) + "/history.sqlite3";
        path_ = FromUtf8(options.path);
        keeper_ = std::make_unique<keep::HistoryKeeper>(
            options,
            [this](const keep::Problem& problem) { Post([this, problem] { Told(problem); }); });
        // Where this run's lines begin is learnt from the first keeper that opens the file: one
        // started again after keeping was turned off begins after the lines kept before, which
        // the view already shows as this run's.
        keeper_->Run([this](keep::HistoryStore& store, std::int64_t run_start) {
            if (store.IsOpen()) Post([this, run_start] { LearnRunStart(run_start); });
        });
    }

    void Stop() {
        keeper_.reset();
        ++generation_;
        loading_ = false;
    }

    // Who the lines of now belong to: the session's peer by its key, else the address typed.
    std::optional<std::string> Key() const {
        if (form_.open_) return "id:" + ToHex(form_.open_->session->Info().peer_fingerprint);
        const QString address = form_.Edit1->text().trimmed();
        if (address.isEmpty()) return std::nullopt;
        return "ip:" + Utf8(address);
    }

    void Keep(keep::Kind kind, const QString& text, const QString& saved_path) {
        if (!keeper_) return;
        const std::optional<std::string> key = Key();
        if (!key) return;  // a line of no peer
        keep::Record record;
        record.time_ms = QDateTime::currentMSecsSinceEpoch();
        record.kind = kind;
        record.text = Utf8(text);
        record.saved_path = Utf8(saved_path);
        keeper_->Append(*key, std::move(record));
    }

    // Shows the current peer's earlier lines above this run's, in place of another peer's.
    void ShowCurrent() {
        const std::optional<std::string> key = Key();
        if (!keeper_ || !key || *key == shown_key_) return;
        RemoveLoaded();
        shown_key_ = *key;
        oldest_ = kBeforeRun;
        more_ = true;
        ++generation_;
        loading_ = false;
        Older();
    }

    // The page before the oldest line shown.
    void Older() {
        if (!More() || loading_) return;
        loading_ = true;
        const std::uint64_t generation = generation_;
        keeper_->Run([this, generation, key = shown_key_, oldest = oldest_, first = run_start_](
                         keep::HistoryStore& store, std::int64_t run_start) {
            const std::int64_t before = oldest != kBeforeRun ? oldest
                                        : first > 0          ? std::min(first, run_start)
                                                             : run_start;
            std::string error;
            std::vector<keep::Record> records = store.LoadBefore(key, before, kPage, &error);
            Post([this, generation, records = std::move(records)] {
                if (generation != generation_) return;
                loading_ = false;
                InsertOlder(records);
            });
        });
    }

    // After 清屏 cleared the view: asks before deleting the peer's kept lines.
    void Cleared() {
        loaded_blocks_ = 0;
        ++generation_;
        loading_ = false;
        oldest_ = keep::kNoId;  // what was cleared can be paged back in
        const std::optional<std::string> key = Key();
        if (!keeper_ || !key) return;
        if (!form_.dialogs_.AskYesNo(
                QStringLiteral("要同时删除与 %1 的全部聊天记录吗？删除后无法恢复。")
                    .arg(form_.Edit1->text().trimmed())))
            return;
        if (*key == shown_key_) more_ = false;
        keeper_->Run([this, key = *key](keep::HistoryStore& store, std::int64_t) {
            const std::string error = store.Delete(key);
            if (!error.empty()) Post([this, error] { Box("删除聊天记录失败：", error); });
        });
    }

    void Search() {
        const std::optional<std::string> key = Key();
        if (!keeper_ || !key) return;
        const QString text = form_.dialogs_.AskText(QStringLiteral("查找与当前对方的聊天记录："));
        if (text.isEmpty()) return;
        keeper_->Run([this, key = *key, text](keep::HistoryStore& store, std::int64_t) {
            std::string error;
            const std::vector<keep::Record> found =
                store.Search(key, Utf8(text), kSearchLimit, &error);
            QString shown;
            for (const keep::Record& record : found) {
                QString line = KeptLine(record);
                if (line.size() > kShownLength)
                    line = line.left(kShownLength) + QStringLiteral("…");
                shown += QStringLiteral("\n") + FromUtf8(keep::VisibleText(Utf8(line)));
            }
            Post([this, text, error, shown, count = found.size()] {
                if (!error.empty()) return Box("查找聊天记录失败：", error);
                if (count == 0)
                    return form_.dialogs_.PlainBox(QStringLiteral("没有找到“%1”。").arg(text));
                const QString head =
                    count < static_cast<std::size_t>(kSearchLimit)
                        ? QStringLiteral("找到 %1 条：").arg(count)
                        : QStringLiteral("找到很多条，这里是最近的 %1 条：").arg(kSearchLimit);
                form_.dialogs_.PlainBox(head + shown);
            });
        });
    }

    void Export() {
        const std::optional<std::string> key = Key();
        if (!keeper_ || !key) return;
        const QString path = form_.dialogs_.ExportFileName(QStringLiteral("聊天记录.txt"));
        if (path.isEmpty()) return;
        const keep::ExportFormat format =
            path.endsWith(QStringLiteral(".html"), Qt::CaseInsensitive) ||
                    path.endsWith(QStringLiteral(".htm"), Qt::CaseInsensitive)
                ? keep::ExportFormat::kHtml
                : keep::ExportFormat::kText;
        const std::string title =
            Utf8(QStringLiteral("与 %1 的聊天记录").arg(form_.Edit1->text().trimmed()));
        keeper_->Run(
            [this, key = *key, path, format, title](keep::HistoryStore& store, std::int64_t) {
                const std::string error = store.Export(
                    key, format, Utf8(path),
                    [](const keep::Record& record) { return Utf8(KeptLine(record)); }, title);
                Post([this, path, error] {
                    if (!error.empty()) return Box("导出聊天记录失败：", error);
                    form_.dialogs_.PlainBox(QStringLiteral("聊天记录已导出到 ") + path);
                });
            });
    }

    // The setting, kept for the next run when the program has a settings file.
    void SetKeeping(bool on) {
        on ? Start() : Stop();
        if (form_.config_.settings_file.empty()) return;
        QSettings settings(QString::fromStdString(form_.config_.settings_file),
                           QSettings::NativeFormat);
        settings.setValue(QString::fromUtf8(kKeepHistorySetting), on);
    }

    QString plain_save_path;  // where the plain receiver saves the file being received

private:
    void LearnRunStart(std::int64_t run_start) {
        if (run_start_ == 0) run_start_ = run_start;
    }

    void Post(std::function<void()> body) {
        QMetaObject::invokeMethod(&context_, std::move(body), Qt::QueuedConnection);
    }

    void Box(const char* what, const std::string& error) {
        form_.dialogs_.PlainBox(QString::fromUtf8(what) + FromUtf8(error));
    }

    // Told once in the history area, never kept.
    void Told(const keep::Problem& problem) {
        if (problem.kind == keep::Problem::kOpen) {
            form_.AddHistory(HistoryLine(
                kOwnPrefix,
                QStringLiteral("[系统消息]：%1，本次不保存聊天记录（原文件没有改动：%2）。")
                    .arg(FromUtf8(problem.text), path_)));
            Stop();
        } else {
            form_.AddHistory(HistoryLine(
                kOwnPrefix, QStringLiteral("[系统消息]：%1。聊天内容仍在这里，稍后会再试着保存。")
                                .arg(FromUtf8(problem.text))));
        }
    }

    void InsertOlder(const std::vector<keep::Record>& records) {
        if (records.size() < static_cast<std::size_t>(kPage)) more_ = false;
        if (records.empty()) return;
        QStringList lines;
        for (const keep::Record& record : records) lines << FromCrLf(KeptLine(record));
        QPlainTextEdit* memo = form_.Memo1;
        QTextDocument* document = memo->document();
        QScrollBar* bar = memo->verticalScrollBar();
        const int from_bottom = bar->maximum() - bar->value();
        const int blocks_before = document->isEmpty() ? 0 : document->blockCount();
        QTextCursor cursor(document);
        cursor.movePosition(QTextCursor::Start);
        cursor.insertText(lines.join(QLatin1Char('\n')) +
                          (blocks_before > 0 ? QStringLiteral("\n") : QString()));
        loaded_blocks_ += document->blockCount() - blocks_before;
        oldest_ = records.front().id;
        // What the user looked at stays in place.
        bar->setValue(bar->maximum() - from_bottom);
    }

    void RemoveLoaded() {
        if (loaded_blocks_ == 0) return;
        QTextDocument* document = form_.Memo1->document();
        QTextCursor cursor(document);
        cursor.movePosition(QTextCursor::Start);
        const QTextBlock first_kept = document->findBlockByNumber(loaded_blocks_);
        if (first_kept.isValid()) {
            cursor.setPosition(first_kept.position(), QTextCursor::KeepAnchor);
        } else {
            cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        }
        cursor.removeSelectedText();
        loaded_blocks_ = 0;
    }

    TForm1& form_;
    QObject context_;  // what the keeper's results are posted to; gone with the view
    std::unique_ptr<keep::HistoryKeeper> keeper_;
    QString path_;
    std::string shown_key_;             // whose earlier lines are shown
    std::int64_t oldest_ = kBeforeRun;  // the oldest id shown
    std::int64_t run_start_ = 0;        // the first id of this run's lines, 0 until known
    bool more_ = false;
    bool loading_ = false;
    int loaded_blocks_ = 0;         // the display lines of earlier runs at the top
    std::uint64_t generation_ = 0;  // results of an earlier peer or view are dropped
};

void TForm1::StartKeeping() {
    kept_ = std::make_shared<KeptView>(*this);
}

void TForm1::Keep(keep::Kind kind, const QString& text, const QString& saved_path) {
    if (kept_) kept_->Keep(kind, text, saved_path);
}

void TForm1::ShowKeptHistory() {
    if (kept_) kept_->ShowCurrent();
}

void TForm1::KeptPlainSavePath(const QString& path) {
    if (kept_) kept_->plain_save_path = path;
}

QString TForm1::KeptPlainSavePath() const {
    return kept_ ? kept_->plain_save_path : QString();
}

void TForm1::HistoryCleared() {
    if (kept_) kept_->Cleared();
}

void TForm1::AddKeptMenuEntries(QMenu* menu) {
    if (!kept_) return;
    menu->addSeparator();
    KeptView* kept = kept_.get();
    if (kept->On()) {
        QAction* older = menu->addAction(QStringLiteral("显示更早的聊天记录"));
        older->setEnabled(kept->More());
        QObject::connect(older, &QAction::triggered, menu, [kept] { kept->Older(); });
        QObject::connect(menu->addAction(QStringLiteral("查找聊天记录…")), &QAction::triggered,
                         menu, [kept] { kept->Search(); });
        QObject::connect(menu->addAction(QStringLiteral("导出聊天记录…")), &QAction::triggered,
                         menu, [kept] { kept->Export(); });
    }
    QAction* keeping = menu->addAction(QStringLiteral("保存聊天记录"));
    keeping->setCheckable(true);
    keeping->setChecked(kept->On());
    QObject::connect(keeping, &QAction::toggled, menu, [kept](bool on) { kept->SetKeeping(on); });
}

}  // namespace quorell
