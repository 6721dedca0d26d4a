#pragma once

// What the window tests of files over a session share: two windows with a session open, a
// source and a target folder, and the steps of sending and waiting.
#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>

#include "support/two_peers.h"

namespace quorell::test {

inline void WriteFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

inline QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

class SessionFilesFixture : public TwoPeers {
protected:
    void SetUp() override {
        TwoPeers::SetUp();
        StartWithSessions();
        OpenSession();
        ASSERT_TRUE(source.isValid() && target.isValid());
    }

    // The sender picks files with the first entry of the send button's menu.
    static void SendFiles(Peer& peer, const QStringList& paths) {
        peer.dialogs.file_lists.push_back(paths);
        peer.form->SendMenu()->actions().at(0)->trigger();
    }
    static bool OfferWaits(const Peer& peer) {
        return peer.form->BitBtn7->isEnabled() &&
               peer.form->BitBtn7->text() == QStringLiteral("接收");
    }
    // Waits until the peer's history shows text at least count times.
    static bool Lines(const Peer& peer, const QString& text, int count) {
        return WaitUntil([&] { return peer.HistoryText().count(text) >= count; },
                         std::chrono::seconds(60));
    }

    QString Src(const QString& name) const { return QDir(source.path()).filePath(name); }
    QString Dst(const QString& name) const { return QDir(target.path()).filePath(name); }

    QTemporaryDir source;
    QTemporaryDir target;
};

}  // namespace quorell::test
