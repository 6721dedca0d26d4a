#pragma once

// Window fakes for the file transfer: every call becomes one line of `log` (UTF-8).

#include <QFile>
#include <QStringList>
#include <memory>
#include <string>
#include <vector>

#include "common/gbk.h"
#include "support/recording_control_link.h"
#include "transfer/file_receiver.h"
#include "transfer/send_file.h"

namespace quorell::test {

struct FakeReceiverWindow : IFileReceiverWindow {
    QString AskSaveFileName(const QString& proposed) override {
        log.push_back("ask " + proposed.toStdString());
        return answers.isEmpty() ? QString() : answers.takeFirst();  // empty: cancelled
    }
    void ShowProgress(bool shown) override { log.push_back(shown ? "show" : "hide"); }
    void SetProgress(int percent) override { log.push_back("progress " + std::to_string(percent)); }
    void SetSendFileEnabled(bool enabled) override {
        log.push_back(enabled ? "enable" : "disable");
    }
    void TransferEnded() override { log.push_back("ended"); }
    void TransferCompleted(const TransferStats& stats) override {
        log.push_back("completed " + std::to_string(stats.bytes));
        this->stats = stats;
    }
    void PlainBox(const QString& text) override { log.push_back("box " + text.toStdString()); }
    bool IsPeerAddress(const std::string& address) override { return address == peer; }

    QStringList answers;
    std::string peer = "127.0.0.1";  // where the control lines go
    std::vector<std::string> log;
    RecordingControlLink control{log};
    TransferStats stats;  // of the last completion
};

// Called on the user-interface thread only, which in the tests is the test's own thread.
struct FakeSenderWindow : IFileSenderWindow {
    std::string PeerAddressAsTyped() override { return address; }
    QString FileToSend() override { return path; }
    void SetFileToSend(const QString& chosen) override { path = chosen; }
    void SetSendFileEnabled(bool enabled) override {
        log.push_back(enabled ? "enable" : "disable");
    }
    void ShowProgress(bool shown) override { log.push_back(shown ? "show" : "hide"); }
    void SetProgress(int percent) override { log.push_back("progress " + std::to_string(percent)); }
    void ResetReceiveCaption() override { log.push_back("caption"); }
    void PlainBox(const QString& text) override { log.push_back("box " + text.toStdString()); }

    std::string address = "127.0.0.1";
    QString path;
    std::vector<std::string> log;
    std::shared_ptr<RecordingControlLink> control = std::make_shared<RecordingControlLink>(log);
};

inline QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : "<missing>";
}
inline bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}
// Bytes that differ from chunk to chunk and hold no marker.
inline QByteArray Pattern(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 1024) & 0xFF);
    return bytes;
}

}  // namespace quorell::test
