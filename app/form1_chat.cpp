// The main window's side of connecting, chatting and the control channel.
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <utility>

#include "app/devices.h"
#include "app/dialogs.h"
#include "app/form1.h"
#include "app/history.h"
#include "app/local_ip.h"
#include "app/qt_text.h"
#include "common/text.h"
#include "protocol/control_lines.h"

namespace quorell {

using protocol::Encode;
using protocol::LineKind;

bool TForm1::SendControlLine(const std::string& line) {
    return control_link_->SendControlLine(line);
}

void TForm1::Edit1Change() {
    Button6->setEnabled(ToGbk(Edit1->text()).size() > 8);
}

void TForm1::Button6Click() {
    // Another copy of the program takes an encrypted session; any other peer gets the plain
    // connect below, exactly as if there were no session.
    if (sessions_ && DialSession()) return;
    if (!SendControlLine(Encode(LineKind::Connected))) return;
    if (!SendControlLine(Encode(LineKind::Address, GetLocalIP()))) return;
    AddHistory(HistoryLine(kOwnPrefix, QString::fromUtf8(lines::kConnectedLocal)));
    Keep(keep::Kind::kSystem, QString::fromUtf8(lines::kConnectedLocal));
    ShowKeptHistory();
    for (QPushButton* button : {Button1, Button2, Button3, BitBtn4, BitBtn5}) {
        button->setEnabled(true);
    }
}

void TForm1::Button1Click() {
    if (SendChatOverSession()) return;
    Send_text::Start(bridge_, control_link_, chat_ref_);
}

void TForm1::AddHistory(const QString& line) {
    Memo1->appendPlainText(FromCrLf(line));
    Memo1->verticalScrollBar()->setValue(Memo1->verticalScrollBar()->maximum());
}

void TForm1::Memo1Change() {
    chat_.HistoryChanged();
}

void TForm1::Ring() {
    Music();
}

void TForm1::Music() {
    const QString dir = QCoreApplication::applicationDirPath();
    if (devices_.ring) devices_.ring->Play(QDir(dir).filePath(QStringLiteral("Sound.WAV")));
}

// Effects of the peer's control lines.

void TForm1::SetPeerVideoPort(long port) {
    video_.PeerVideoPort(port);
    TellUser(QString::fromUtf8(lines::kVideoOpened));
}

void TForm1::PeerConnected(const std::string& source_address) {
    // Replying is then one press of the connect button; what the user typed stays.
    if (source_address.empty() || !Trimmed(ToGbk(Edit1->text())).empty()) return;
    Edit1->setText(FromGbk(source_address));
    ShowKeptHistory();
}

void TForm1::ShowIncoming(const std::string& line) {
    ShowPeerLine(line, false);
}

// What the control link and the message sender read and change.

std::string TForm1::PeerAddress() {
    return Trimmed(ToGbk(Edit1->text()));
}

void TForm1::UnreachablePeerBox() {
    dialogs_.UnreachablePeerBox();
}

std::string TForm1::InputText() {
    return ToGbk(ToCrLf(Memo2->toPlainText()));
}

void TForm1::MessageTooLargeBox() {
    dialogs_.PlainBox(QStringLiteral("文本太大，可能无法正常传输，请适当减少"));
}

void TForm1::AddOwnHistory(const std::string& text) {
    AddHistory(HistoryLine(kOwnPrefix, FromGbk(text)));
    Keep(keep::Kind::kOwn, FromGbk(text));
}

void TForm1::ClearInput() {
    Memo2->clear();
}

}  // namespace quorell
