// Files over the session with another copy of the program: several files and folders in one
// offer from the send button's menu or a drop, the peer's offer taken into a folder picked
// once, both directions at once with their progress, and a history line for each end. Every
// call of the controller that may wait runs on a worker; what it tells comes back through the
// bridge and is dropped when its session is no longer the open one.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <atomic>

#include "app/devices.h"
#include "app/dialogs.h"
#include "app/files_text.h"
#include "app/form1_files_view.h"
#include "app/notifier.h"
#include "common/worker.h"

namespace quorell {

namespace {

QString Utf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

TForm1::FilesView::FilesView(TForm1& form)
    : form_(form),
      send_menu_(new QMenu(&form)),
      sending_(&form, 8, 262),
      receiving_(&form, 348, 601) {
    form.Label7 = sending_.label;
    form.Gauge2 = sending_.bar;
    form.Label8 = receiving_.label;
    form.Gauge3 = receiving_.bar;
    QObject::connect(send_menu_->addAction(QStringLiteral("发送文件…")), &QAction::triggered, &form,
                     [this] { Offer(form_.dialogs_.OpenFileNames()); });
    QObject::connect(send_menu_->addAction(QStringLiteral("发送文件夹…")), &QAction::triggered,
                     &form, [this] {
                         const QString folder = form_.dialogs_.ExistingFolder(QDir::homePath());
                         if (!folder.isEmpty()) Offer({folder});
                     });
    stop_sending_ = send_menu_->addAction(QStringLiteral("停止发送"));
    stop_sending_->setEnabled(false);
    QObject::connect(stop_sending_, &QAction::triggered, &form, [this] { StopSending(); });
    send_menu_->addSeparator();
    trust_ = send_menu_->addAction(QStringLiteral("信任此设备的文件…"));
    trust_->setCheckable(true);
    trust_->setToolTip(QStringLiteral("此设备发来的文件不再询问，自动保存到选定的文件夹"));
    QObject::connect(trust_, &QAction::triggered, &form, [this] { TrustPressed(); });
    QObject::connect(send_menu_, &QMenu::aboutToShow, &form, [this] { ShowTrustEntry(); });
}

bool TForm1::FilesView::Active() const {
    return form_.open_ && form_.open_->files;
}

bool TForm1::FilesView::Current(const session::Session* which) const {
    return Active() && form_.open_->session.get() == which;
}

void TForm1::FilesView::Attach(OpenSession& open) {
    if (!open.session->Info().agreement.Has(session::kFileCapability)) return;
    const session::Session* which = open.session.get();
    open.files = std::make_shared<SessionFilesLink>(
        open.session, [bridge = form_.bridge_, ref = form_.session_ref_, which](FilesNews news) {
            try {
                bridge->Invoke([&] { ref->Get().files_view_->News(which, std::move(news)); });
            } catch (...) {
                // The window is closing: its close ends the transfers.
            }
        });
}

void TForm1::FilesView::Retired(const SessionFilesLink* link) {
    retired_ = link != nullptr ? link->Which() : nullptr;
    retired_folder_ = receiving_now_ || accepting_ ? receive_folder_ : std::string();
    waiting_.reset();
    accepting_ = false;
    receiving_now_ = false;
    ++generation_;
    for (Row* row : {&sending_, &receiving_}) {
        row->label->hide();
        row->bar->hide();
        row->speed.Stop();
        row->offer = 0;
    }
    stop_sending_->setEnabled(false);
    form_.ReceiveStateChanged();
}

void TForm1::FilesView::Line(const QString& text) {
    form_.AddSystemLine(QStringLiteral("[系统消息]：") + text);
}

void TForm1::FilesView::RunOnFiles(std::function<void(files::SessionFiles&)> body) {
    if (!Active()) return;
    std::shared_ptr<SessionFilesLink> link = form_.open_->files;
    std::shared_ptr<std::atomic<int>> workers = form_.retiring_;
    ++*workers;
    StartDetachedWorker([link = std::move(link), body = std::move(body), workers]() mutable {
        try {
            body(link->Files());
        } catch (...) {
        }
        link.reset();
        --*workers;
    });
}

// Sending.

bool TForm1::FilesView::SendPressed() {
    if (!Active()) return false;
    send_menu_->popup(form_.BitBtn4->mapToGlobal(QPoint(0, form_.BitBtn4->height())));
    return true;
}

bool TForm1::FilesView::Drop(const QList<QUrl>& urls) {
    if (!Active()) return false;
    QStringList paths;
    for (const QUrl& url : urls) {
        const QString path = url.isLocalFile() ? url.toLocalFile() : QString();
        if (path.isEmpty() || !QFileInfo::exists(path)) {
            form_.dialogs_.PlainBox(QStringLiteral("只能传送本机上的文件：") +
                                    url.toDisplayString());
            return true;
        }
        paths << path;
    }
    Offer(paths);
    return true;
}

// The picked items are walked on a worker (a folder may hold many thousands of files).
void TForm1::FilesView::Offer(const QStringList& paths) {
    if (paths.isEmpty() || !Active()) return;
    std::vector<std::string> picked;
    for (const QString& path : paths) picked.push_back(QFile::encodeName(path).toStdString());
    const session::Session* which = form_.open_->session.get();
    std::shared_ptr<std::atomic<int>> workers = form_.retiring_;
    ++*workers;
    StartDetachedWorker([picked = std::move(picked), bridge = form_.bridge_,
                         ref = form_.session_ref_, which, workers] {
        std::string error;
        std::optional<files::Offer> offer;
        try {
            offer = files::BuildOffer(picked, error);
        } catch (const std::exception& e) {
            error = e.what();
        }
        try {
            bridge->Invoke(
                [&] { ref->Get().files_view_->OfferBuilt(which, std::move(offer), error); });
        } catch (...) {
        }
        --*workers;
    });
}

void TForm1::FilesView::OfferBuilt(const session::Session* which, std::optional<files::Offer> offer,
                                   const std::string& error) {
    if (!Current(which)) return;
    if (!offer) {
        form_.dialogs_.PlainBox(QStringLiteral("无法发送：") + Utf8(error));
        return;
    }
    const QString skipped = SkippedText(*offer);
    if (!skipped.isEmpty()) Line(skipped + QStringLiteral("。"));
    SentOffer sent{offer->entries, offer->total_bytes};
    const std::uint64_t id = form_.open_->files->Files().Send(std::move(*offer));
    sent_.try_emplace(id, std::move(sent));
    stop_sending_->setEnabled(true);
}

void TForm1::FilesView::StopSending() {
    if (!Active()) return;
    RunOnFiles([](files::SessionFiles& files) {
        files.DropQueued();
        files.CancelOutgoing("");
    });
}

void TForm1::FilesView::OutgoingStarted(std::uint64_t offer) {
    const auto it = sent_.find(offer);
    if (it != sent_.end())
        Line(QStringLiteral("等待对方接收：") +
             OfferContents(it->second.entries, it->second.total));
    form_.speed_timer_->start();
}

void TForm1::FilesView::OutgoingEnded(std::uint64_t offer, const files::OutgoingResult& result) {
    std::vector<std::string> paths;
    std::uint64_t count = 0, total = 0;
    if (const auto it = sent_.find(offer); it != sent_.end()) {
        for (const session::OfferEntry& entry : it->second.entries) paths.push_back(entry.path);
        count = it->second.entries.size();
        total = it->second.total;
        sent_.erase(it);
    }
    form_.AddSystemLine(
        QStringLiteral("[系统消息]：") + OutgoingEndText(result, paths, count, total),
        keep::Kind::kTransfer);
    if (result.end == files::TransferEnd::kFinished ||
        result.end == files::TransferEnd::kDeclined ||
        result.end == files::TransferEnd::kCancelledByPeer)
        form_.TellUser(result.end == files::TransferEnd::kFinished
                           ? QStringLiteral("文件已发送完毕。")
                           : QStringLiteral("对方没有接收文件。"));
}

// Receiving.

void TForm1::FilesView::IncomingOffered(const files::IncomingOffer& offer) {
    waiting_ = offer;
    const QString contents = OfferContents(offer.entries, offer.total_bytes);
    const QString told = QStringLiteral("对方想发送 %1 个文件（%2）")
                             .arg(offer.files)
                             .arg(FormatSize(offer.total_bytes));
    if (const std::optional<std::string> folder = TrustedFolder()) {
        Line(QStringLiteral("对方（已信任的设备）发送 ") + contents +
             QStringLiteral("，自动接收到 ") + Utf8(*folder) + QStringLiteral("。"));
        form_.TellUser(told + QStringLiteral("，已自动接收。"));
        AcceptInto(*folder);
        return;
    }
    Line(QStringLiteral("对方想发送 ") + contents + QStringLiteral("。按“接收”选择保存的文件夹。"));
    // The buttons of the notification do what the receive button and a cancelled folder
    // dialog do, for this offer only.
    const session::Session* which = form_.open_->session.get();
    form_.TellUser(told,
                   {{QStringLiteral("accept"), QStringLiteral("接收…")},
                    {QStringLiteral("decline"), QStringLiteral("拒绝")}},
                   [view = weak_from_this(), which, generation = generation_](const QString& key) {
                       const std::shared_ptr<FilesView> self = view.lock();
                       if (!self || !self->Current(which) || self->generation_ != generation ||
                           !self->waiting_ || self->accepting_)
                           return;
                       if (key == QStringLiteral("accept")) {
                           self->form_.RaiseFromNotification();  // the folder dialog's owner
                           self->Accept();
                       } else {
                           self->Decline();
                       }
                   });
    form_.ReceiveStateChanged();
}

bool TForm1::FilesView::ShowReceiveButton() {
    if (!Active() || !(waiting_ || accepting_ || receiving_now_)) return false;
    form_.BitBtn7->setText(receiving_now_ ? QStringLiteral("取消") : QStringLiteral("接收"));
    form_.BitBtn7->setEnabled(!accepting_);
    return true;
}

bool TForm1::FilesView::ReceivePressed() {
    if (!Active()) return false;
    if (accepting_) return true;
    if (waiting_) {
        Accept();
        return true;
    }
    if (receiving_now_) {
        RunOnFiles([](files::SessionFiles& files) { files.CancelIncoming(""); });
        return true;
    }
    return false;
}

void TForm1::FilesView::Accept() {
    const session::Session* which = form_.open_->session.get();
    const std::uint64_t generation = generation_;
    const QString folder = form_.dialogs_.ExistingFolder(DownloadFolder());
    // The dialog may have stayed open while the offer ended or the session went.
    if (!Current(which) || generation != generation_ || !waiting_) return;
    if (folder.isEmpty()) {
        Decline();
        return;
    }
    AcceptInto(QFile::encodeName(folder).toStdString());
}

void TForm1::FilesView::Decline() {
    waiting_.reset();
    RunOnFiles([](files::SessionFiles& files) { files.DeclineIncoming(""); });
    form_.ReceiveStateChanged();
}

void TForm1::FilesView::AcceptInto(const std::string& folder) {
    const session::Session* which = form_.open_->session.get();
    const std::uint64_t generation = generation_;
    receive_folder_ = folder;
    accepting_ = true;
    form_.ReceiveStateChanged();
    // Accepting looks at what is there already (hashing partial files to resume), so it runs on
    // a worker; the question about taken names comes back here, once for the whole offer.
    RunOnFiles([folder = receive_folder_, bridge = form_.bridge_, ref = form_.session_ref_, which,
                generation](files::SessionFiles& files) {
        std::optional<bool> replace;
        const auto ask = [&](const std::string& path) {
            if (!replace) {
                try {
                    replace = bridge->Call(
                        [&] { return ref->Get().files_view_->AskReplace(which, path); });
                } catch (...) {
                    replace = false;
                }
            }
            return *replace;
        };
        std::string error;
        const bool ok = files.AcceptIncoming(folder, ask, error);
        try {
            bridge->Invoke(
                [&] { ref->Get().files_view_->AcceptDone(which, generation, ok, error); });
        } catch (...) {
        }
    });
}

bool TForm1::FilesView::AskReplace(const session::Session* which, const std::string& path) {
    if (!Current(which)) return false;
    return form_.dialogs_.AskYesNo(
        QStringLiteral("所选的文件夹里已有同名的文件（如 %1）。\n要替换这些文件吗？"
                       "选“否”则保留原有的文件，不接收这些文件。")
            .arg(Utf8(path)));
}

void TForm1::FilesView::AcceptDone(const session::Session* which, std::uint64_t generation, bool ok,
                                   const std::string& error) {
    if (!Current(which)) return;
    accepting_ = false;
    if (generation == generation_) {
        if (ok) {
            waiting_.reset();
            receiving_now_ = true;
            form_.speed_timer_->start();
        } else {
            form_.dialogs_.PlainBox(QStringLiteral("无法保存到这个文件夹：") + Utf8(error));
        }
    }
    form_.ReceiveStateChanged();
}

void TForm1::FilesView::IncomingEnded(const files::IncomingResult& result) {
    const bool taken = receiving_now_ || accepting_;
    const std::string folder = taken ? receive_folder_ : std::string();
    waiting_.reset();
    receiving_now_ = false;
    ++generation_;
    form_.AddSystemLine(QStringLiteral("[系统消息]：") + IncomingEndText(result, folder),
                        keep::Kind::kTransfer, SavedLocation(folder, result));
    std::vector<const files::ReceivedFile*> saved;
    for (const files::ReceivedFile& file : result.files)
        if (file.ok()) saved.push_back(&file);
    if (!saved.empty()) {
        latest_folder_ = SavedLocation(folder, result);
        latest_file_ = saved.size() == 1 ? Utf8(saved.front()->saved_path) : QString();
        if (!latest_file_.isEmpty()) latest_folder_ = QFileInfo(latest_file_).path();
    }
    if (result.end == files::TransferEnd::kFinished) {
        // Its button opens what came: the one file, or the folder of several.
        const QString opened = latest_file_.isEmpty() ? latest_folder_ : latest_file_;
        IDesktopOpener* opener = form_.devices_.opener.get();
        if (opener != nullptr && !saved.empty() && !opened.isEmpty()) {
            form_.TellUser(QStringLiteral("已收到 %1 个文件。").arg(saved.size()),
                           {{QStringLiteral("open"), QStringLiteral("打开")}},
                           [view = weak_from_this(), opener, opened](const QString&) {
                               if (view.lock()) opener->Open(opened);
                           });
        } else {
            form_.TellUser(QStringLiteral("已收到 %1 个文件。").arg(saved.size()));
        }
    } else if (result.end == files::TransferEnd::kCancelledByPeer)
        form_.TellUser(QStringLiteral("对方取消了发送。"));
    form_.ReceiveStateChanged();
}

void TForm1::FilesView::News(const session::Session* which, FilesNews news) {
    if (!Current(which)) {
        // The ends of a retired session's transfers still get their line; nothing else of it
        // touches the window.
        if (which == nullptr || which != retired_) return;
        if (const auto* result = std::get_if<files::IncomingResult>(&news)) {
            Line(IncomingEndText(*result, retired_folder_));
        } else if (const auto* end = std::get_if<OutgoingEndNews>(&news)) {
            OutgoingEnded(end->offer, end->result);
        }
        return;
    }
    if (auto* offer = std::get_if<files::IncomingOffer>(&news)) {
        IncomingOffered(*offer);
    } else if (auto* result = std::get_if<files::IncomingResult>(&news)) {
        IncomingEnded(*result);
    } else if (auto* start = std::get_if<OutgoingStartNews>(&news)) {
        OutgoingStarted(start->offer);
    } else if (auto* end = std::get_if<OutgoingEndNews>(&news)) {
        OutgoingEnded(end->offer, end->result);
    }
}

}  // namespace quorell
