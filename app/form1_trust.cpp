// Trusted peers: a peer the user verified may be allowed to send files without being asked,
// into a folder picked once. Only ever over a verified session, where the peer's key says who
// it is; never over the plain protocol, where an address says nothing.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QMenu>

#include "app/dialogs.h"
#include "app/files_text.h"
#include "app/form1_files_view.h"
#include "session/identity.h"

namespace quorell {

TrustedSenders* TForm1::FilesView::Trusted() {
    if (trusted_) return &*trusted_;
    const std::string folder = form_.config_.identity_folder.empty()
                                   ? DefaultIdentityFolder()
                                   : form_.config_.identity_folder;
    trusted_error_.clear();
    if (folder.empty()) {
        trusted_error_ = "no folder for the identity";
        return nullptr;
    }
    trusted_ = TrustedSenders::Load(folder, trusted_error_);
    return trusted_ ? &*trusted_ : nullptr;
}

std::optional<std::string> TForm1::FilesView::TrustedFolder() {
    if (!Active() || !form_.open_->verified) return std::nullopt;
    TrustedSenders* trusted = Trusted();
    if (trusted == nullptr) return std::nullopt;
    const session::SessionInfo& info = form_.open_->session->Info();
    return trusted->FolderFor(info.peer_name, info.peer_fingerprint);
}

// Always enabled: pressed before the peer is verified, it says what to do first.
void TForm1::FilesView::ShowTrustEntry() {
    trust_->setChecked(TrustedFolder().has_value());
}

void TForm1::FilesView::TrustPressed() {
    ShowTrustEntry();
    if (!Active()) return;
    if (!form_.open_->verified) {
        form_.dialogs_.PlainBox(
            QStringLiteral("请先验证对方的设备（按“验证…”核对验证码），"
                           "然后才能信任它发来的文件。"));
        return;
    }
    TrustedSenders* trusted = Trusted();
    if (trusted == nullptr) {
        form_.dialogs_.PlainBox(QStringLiteral("无法读取信任的设备列表：") +
                                QString::fromStdString(trusted_error_));
        return;
    }
    const session::Session* which = form_.open_->session.get();
    const session::SessionInfo info = which->Info();
    const QString name = QString::fromStdString(info.peer_name);
    std::string error;
    if (trusted->FolderFor(info.peer_name, info.peer_fingerprint)) {
        error = trusted->Forget(info.peer_name);
        if (error.empty()) Line(QStringLiteral("此后 %1 发来的文件会先询问再接收。").arg(name));
    } else {
        const QString folder = form_.dialogs_.ExistingFolder(DownloadFolder());
        // The dialog may have stayed open while the session went.
        if (folder.isEmpty() || !Current(which)) return;
        const QString absolute = QDir(folder).absolutePath();
        error = trusted->Trust(info.peer_name, info.peer_fingerprint,
                               QFile::encodeName(absolute).toStdString());
        if (error.empty())
            Line(QStringLiteral("此后 %1 发来的文件将不再询问，自动保存到 %2。")
                     .arg(name, absolute));
    }
    if (!error.empty())
        form_.dialogs_.PlainBox(QStringLiteral("无法保存设置：") + QString::fromStdString(error));
    ShowTrustEntry();
}

}  // namespace quorell
