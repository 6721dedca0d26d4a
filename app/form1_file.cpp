// The main window's side of the file transfer: offering, accepting and cancelling, the file
// receiver's port, and what the sender and the receiver change in the window.
#include <arpa/inet.h>

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include "app/dialogs.h"
#include "app/form1.h"
#include "app/form1_files_view.h"
#include "app/history.h"
#include "app/notifier.h"
#include "app/qt_text.h"
#include "protocol/control_lines.h"

namespace quorell {

namespace {

const QString kAccept = QStringLiteral("接收");
const QString kCancel = QStringLiteral("取消");

}  // namespace

void TForm1::BitBtn4Click() {
    if (files_view_->SendPressed()) return;  // over a session with files: its menu
    const QString chosen = dialogs_.OpenFileName();
    if (chosen.isEmpty()) return;
    OfferFile(chosen);
}

void TForm1::OfferFile(const QString& path) {
    file_send_.Offer(path);
}

void TForm1::BitBtn7Click() {
    if (files_view_->ReceivePressed()) return;
    file_receiver_.ReceivePressed();
}

void TForm1::ReceiveStateChanged() {
    if (files_view_->ShowReceiveButton()) return;
    const ReceiveState state = file_receiver_.State();
    BitBtn7->setText(state == ReceiveState::Accepted ? kCancel : kAccept);
    BitBtn7->setEnabled(state != ReceiveState::Idle);
}

void TForm1::IdUDPServer2UDPRead(net::UdpServer&, std::string_view AData,
                                 net::UdpBinding& ABinding) {
    BeforeFileDatagram();
    file_receiver_.OnDatagram(
        AData, ABinding.SourceAddress, ABinding.SourcePort, [&ABinding](std::string_view reply) {
            ABinding.SendDatagram(ABinding.SourceAddress, ABinding.SourcePort, reply);
        });
    AfterFileDatagram();
}

bool TForm1::IsPeerAddress(const std::string& address) {
    in_addr peer{}, source{};
    return ::inet_pton(AF_INET, PeerAddress().c_str(), &peer) == 1 &&
           ::inet_pton(AF_INET, address.c_str(), &source) == 1 && peer.s_addr == source.s_addr;
}

// Effects of the peer's control lines.

void TForm1::PeerOfferedFile(const std::string& source_address) {
    file_receiver_.PeerOffered(source_address);
    // The notification's button does what the receive button does while this offer waits;
    // the files view goes with the window, so a press after the window's end does nothing.
    TellUser(QString::fromUtf8(lines::kFileOffered), {{QStringLiteral("accept"), kAccept}},
             [this, alive = std::weak_ptr<FilesView>(files_view_)](const QString&) {
                 if (!alive.lock() || file_receiver_.State() != ReceiveState::Offered) return;
                 RaiseFromNotification();  // the save dialog's owner
                 try {
                     file_receiver_.ReceivePressed();
                 } catch (const std::exception& e) {
                     dialogs_.StandardErrorBox(QString::fromUtf8(e.what()));
                 }
             });
}

void TForm1::PeerCancelledFile() {
    file_send_.PeerCancelled();
}

void TForm1::PeerAcceptedFile(const std::string& line) {
    AddHistory(HistoryLine(PeerPrefix(false), FromGbk(line)));
    Keep(open_ ? keep::Kind::kPeerUnencrypted : keep::Kind::kPeer, FromGbk(line));
    file_send_.PeerAccepted();
}

// What the sender and the receiver read and change.

std::string TForm1::PeerAddressAsTyped() {
    return ToGbk(Edit1->text());
}

void TForm1::SetSendFileEnabled(bool enabled) {
    BitBtn4->setEnabled(enabled);
}

void TForm1::ShowProgress(bool shown) {
    Label4->setVisible(shown);
    Gauge1->setVisible(shown);
    // The sender hides the progress right after its last acknowledgement.
    if (!shown) PollSendSpeed();
}

void TForm1::SetProgress(int percent) {
    Gauge1->setValue(percent);
    PollSendSpeed();
}

// This side's own run was refused its length. The receive side keeps its state: a transfer
// coming the other way at the same time goes on.
void TForm1::ResetReceiveCaption() {
    ReceiveStateChanged();
}

void TForm1::PlainBox(const QString& text) {
    dialogs_.PlainBox(text);
}

QString TForm1::AskSaveFileName(const QString& proposed) {
    const QString path = dialogs_.SaveFileName(proposed);
    KeptPlainSavePath(path);
    return path;
}

void TForm1::TransferEnded() {
    FinishReceiveSpeed();
    BitBtn4->setEnabled(true);
}

}  // namespace quorell
