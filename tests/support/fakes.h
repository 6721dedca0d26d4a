#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "app/devices.h"
#include "app/dialogs.h"

namespace quorell::test {

// Records every box and answers file dialogs from a queue.
class FakeDialogs : public IDialogs {
public:
    struct Call {
        QString kind;  // "unreachable", "plain", "error", "open", "save", "choose", "confirm",
                       // "verify", "key changed", "open several", "folder", "yes or no", "export",
                       // "text"
        QString text;
    };

    void UnreachablePeerBox() override { calls.push_back({QStringLiteral("unreachable"), {}}); }
    void PlainBox(const QString& text) override {
        calls.push_back({QStringLiteral("plain"), text});
    }
    void StandardErrorBox(const QString& message) override {
        calls.push_back({QStringLiteral("error"), message});
    }
    QString OpenFileName() override {
        calls.push_back({QStringLiteral("open"), {}});
        return Next();
    }
    QString SaveFileName(const QString& suggested) override {
        calls.push_back({QStringLiteral("save"), suggested});
        return Next();
    }
    // Answers from file_lists (an empty queue: cancelled).
    QStringList OpenFileNames() override {
        calls.push_back({QStringLiteral("open several"), {}});
        if (file_lists.empty()) return {};
        QStringList picked = file_lists.front();
        file_lists.pop_front();
        return picked;
    }
    // Answers from folders (an empty queue or an empty text: cancelled).
    QString ExistingFolder(const QString& start) override {
        calls.push_back({QStringLiteral("folder"), start});
        if (folders.empty()) return {};
        QString folder = folders.front();
        folders.pop_front();
        return folder;
    }
    // Answers from yes_answers (an empty queue: no).
    bool AskYesNo(const QString& text) override {
        calls.push_back({QStringLiteral("yes or no"), text});
        if (yes_answers.empty()) return false;
        const bool yes = yes_answers.front();
        yes_answers.pop_front();
        return yes;
    }

    // Answers from formats: a format is confirmed, nullopt (or an empty queue) cancels.
    bool ChooseFormat(WaveFormat& format) override {
        calls.push_back({QStringLiteral("choose"), {}});
        shown_formats.push_back(format);
        if (formats.empty()) return false;
        std::optional<WaveFormat> answer = formats.front();
        formats.pop_front();
        if (!answer) return false;
        format = *answer;
        return true;
    }
    void ConfirmErrorBox(const QString& text) override {
        calls.push_back({QStringLiteral("confirm"), text});
    }

    // Answers from verify_answers (an empty queue: no).
    bool ConfirmVerification(const QString& code) override {
        calls.push_back({QStringLiteral("verify"), code});
        if (verify_answers.empty()) return false;
        const bool yes = verify_answers.front();
        verify_answers.pop_front();
        return yes;
    }
    void KeyChangedBox(const QString& peer_name) override {
        calls.push_back({QStringLiteral("key changed"), peer_name});
    }
    // Answers from export_names (an empty queue: cancelled).
    QString ExportFileName(const QString& suggested) override {
        calls.push_back({QStringLiteral("export"), suggested});
        return Take(export_names);
    }
    // Answers from texts (an empty queue: cancelled).
    QString AskText(const QString& label) override {
        calls.push_back({QStringLiteral("text"), label});
        return Take(texts);
    }

    int Count(const QString& kind) const {
        int n = 0;
        for (const auto& c : calls) n += c.kind == kind;
        return n;
    }
    // The text of the latest box or dialog call.
    QString LastText() const { return calls.empty() ? QString() : calls.back().text; }

    std::vector<Call> calls;
    std::deque<QString> answers;
    std::deque<std::optional<WaveFormat>> formats;
    std::deque<bool> verify_answers;
    std::deque<QStringList> file_lists;
    std::deque<QString> folders;
    std::deque<bool> yes_answers;
    std::deque<QString> export_names;
    std::deque<QString> texts;
    std::vector<WaveFormat> shown_formats;  // the format each chooser opened on

private:
    static QString Take(std::deque<QString>& queue) {
        if (queue.empty()) return {};
        QString a = queue.front();
        queue.pop_front();
        return a;
    }
    QString Next() {
        if (answers.empty()) return {};
        QString a = answers.front();
        answers.pop_front();
        return a;
    }
};

// Notes what the window would have opened with the desktop's programs.
class FakeOpener : public IDesktopOpener {
public:
    void Open(const QString& path) override { opened.push_back(path); }
    QStringList opened;
};

// Counts rings instead of playing them, and notes when the latest one happened.
class FakeRingPlayer : public IRingPlayer {
public:
    void Play(const QString& wav_path) override {
        last_ring = std::chrono::steady_clock::now();
        ++rings;
        last_path = wav_path;
        if (on_ring) on_ring();
    }
    std::atomic<int> rings{0};
    QString last_path;
    std::chrono::steady_clock::time_point last_ring{};
    std::function<void()> on_ring;
};

}  // namespace quorell::test
