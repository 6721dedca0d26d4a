#pragma once

// The window's side of files over the session (app/form1_session_files.cpp): the send button's
// menu, the peer's offer waiting for the receive button, the progress rows of both directions
// and the history lines. Only ever used on the user-interface thread.

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/form1.h"
#include "app/session_files_link.h"
#include "app/transfer_speed.h"
#include "session/trusted_senders.h"

class QAction;
class QMenu;

namespace quorell {

class TForm1::FilesView : public std::enable_shared_from_this<TForm1::FilesView> {
public:
    explicit FilesView(TForm1& form);

    // The session just adopted carries files when both sides named file/1.
    void Attach(OpenSession& open);
    // The session in `open_` went (already reset), with its files, if any: how their
    // transfers end is still told in the history.
    void Retired(const SessionFilesLink* link);
    bool Active() const;

    // Entry points of the window's handlers over a session with files; false: not handled
    // here, the plain protocol's behaviour follows.
    bool SendPressed();
    bool ReceivePressed();
    bool ShowReceiveButton();
    bool Drop(const QList<QUrl>& urls);
    // The progress rows, from the speed timer; true while something moves or waits.
    bool Poll();

    void News(const session::Session* which, FilesNews news);
    QMenu* SendMenu() const { return send_menu_; }
    // Adds the latest received files' entries to the history's menu and returns it.
    QMenu* MakeHistoryMenu(QMenu* menu);

private:
    struct SentOffer {
        std::vector<session::OfferEntry> entries;
        std::uint64_t total = 0;
    };
    // Progress of one direction, shown in its row.
    struct Row {
        Row(QWidget* parent, int label_left, int bar_left);  // hidden until there is progress
        QLabel* label;
        QProgressBar* bar;
        TransferSpeed speed;
        std::uint64_t offer = 0;
    };

    bool Current(const session::Session* which) const;
    void Offer(const QStringList& paths);
    void OfferBuilt(const session::Session* which, std::optional<files::Offer> offer,
                    const std::string& error);
    // The peer's waiting offer: into a folder the user picks, into `folder`, or declined.
    void Accept();
    void AcceptInto(const std::string& folder);
    void Decline();
    // Trusted peers (app/form1_trust.cpp): where the open session's peer's files go without
    // asking; none unless the user verified this peer and trusted it with its key.
    std::optional<std::string> TrustedFolder();
    TrustedSenders* Trusted();
    void TrustPressed();
    void ShowTrustEntry();
    void AcceptDone(const session::Session* which, std::uint64_t generation, bool ok,
                    const std::string& error);
    bool AskReplace(const session::Session* which, const std::string& path);
    void StopSending();
    void IncomingOffered(const files::IncomingOffer& offer);
    void IncomingEnded(const files::IncomingResult& result);
    void OutgoingStarted(std::uint64_t offer);
    void OutgoingEnded(std::uint64_t offer, const files::OutgoingResult& result);
    // Hands a call of the controller to a worker: some wait for the pipe or for threads.
    void RunOnFiles(std::function<void(files::SessionFiles&)> body);
    bool ShowRow(Row& row, const files::TransferProgress& progress, bool sending);
    void Line(const QString& text);

    TForm1& form_;
    QMenu* send_menu_;
    QAction* stop_sending_;
    QAction* trust_;  // "信任此设备的文件…", checked while the peer is trusted
    std::optional<TrustedSenders> trusted_;  // read when first needed
    std::string trusted_error_;              // why it could not be read
    Row sending_;
    Row receiving_;
    std::optional<files::IncomingOffer> waiting_;  // the peer's offer, not answered yet
    bool accepting_ = false;                       // a worker takes it into a folder
    bool receiving_now_ = false;
    std::uint64_t generation_ = 0;  // counts the peer's offers that ended, and sessions
    std::string receive_folder_;    // where the peer's offer goes
    std::map<std::uint64_t, SentOffer> sent_;
    // The session retired last, whose transfers' ends are still shown, and where its peer's
    // offer went.
    const session::Session* retired_ = nullptr;
    std::string retired_folder_;
    // The latest transfer received whole or in part: its place and its one file.
    QString latest_folder_;
    QString latest_file_;
};

}  // namespace quorell
