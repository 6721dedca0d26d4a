#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "support/two_peers.h"

class QTimer;

namespace quorell::test {

// What the workload does and where. Ports are each side's own local media ports.
struct WorkloadOptions {
    bool chat = true;
    bool files = true;
    bool video = true;
    bool voice = true;
    // Pause between a line's arrival in the sender's history and the next line of that side.
    std::chrono::milliseconds chat_pause{20};
    qsizetype file_min_bytes = 100 * 1024;
    qsizetype file_max_bytes = 500 * 1024;
    // A transfer that has not ended this long after its acceptance is cancelled by the
    // receiving user, as a person would after watching a bar that does not move.
    std::chrono::milliseconds file_patience{60000};
    int video_port_a = 29110;
    int video_port_b = 29111;
    int voice_port_a = 29210;
    int voice_port_b = 29211;
    quint32 seed = 1;
};

struct WorkloadCounters {
    std::int64_t lines_sent = 0;         // shown in the sender's own history
    std::int64_t lines_shown = 0;        // shown, exactly as sent, in the receiver's history
    std::int64_t lines_garbled = 0;      // shown with other text than was sent
    std::int64_t lines_repeated = 0;     // shown a second time
    std::int64_t lines_unconfirmed = 0;  // never reached the sender's own history
    std::int64_t files_sent = 0;         // offers the receiver accepted
    std::int64_t files_identical = 0;    // saved byte for byte
    std::int64_t files_incomplete = 0;   // reported short, with what arrived kept as a prefix
    std::int64_t files_corrupted = 0;    // anything else: wrong bytes, wrong report, nothing kept
    std::int64_t files_stalled = 0;      // cancelled by the receiving user after no end came
    // Of the stalled: nothing had been received, so nothing is kept and there is nothing to tell.
    std::int64_t files_not_started = 0;
    // Of the stalled: bytes were kept but the receiving user was never told.
    std::int64_t files_unreported = 0;
    std::int64_t frames_shown = 0;  // by both receivers
    std::int64_t voice_blocks = 0;  // played by both sides
    std::int64_t error_boxes = 0;   // any box that is not a file transfer's report
    QStringList notes;              // the first few error boxes and corruptions, for the log
};

// Two connected peers under load at once: numbered chat lines both ways, files back and forth
// (answered through the fake dialogs), video both ways from the pattern cameras and voice both
// ways from paced tone inputs. Runs from a timer on the user-interface thread once started;
// the caller keeps the event loop running (WaitUntil or exec).
class Workload {
public:
    Workload(Peer& a, Peer& b, WorkloadOptions options = {});
    ~Workload();
    Workload(const Workload&) = delete;
    Workload& operator=(const Workload&) = delete;

    // Connects both ways, starts video and voice, then lines and files. False (with the reason)
    // when any of it does not come up.
    bool Start(QString* why);
    // Stops starting new lines and files and waits (serving the event loop) until those under
    // way have ended; false when they have not within the time.
    bool Finish(std::chrono::milliseconds timeout = std::chrono::seconds(90));

    const WorkloadCounters& Counters() const { return counters_; }
    // Lines sent and not (yet) shown, over both directions.
    std::int64_t LinesMissing() const;
    // One line with every counter.
    QString Summary() const;

private:
    struct ChatLane;
    struct FileLane;
    void Step();
    void StepChat(ChatLane& lane);
    void StepFiles();
    void StepFile(FileLane& lane);
    void ReadHistory(Peer& peer);
    void ReadBoxes(Peer& peer);
    void Judge(FileLane& lane, const QString& box);
    void JudgeStalled(FileLane& lane);
    void EndTransfer(FileLane& lane);
    void Note(const QString& text);

    Peer& a_;
    Peer& b_;
    WorkloadOptions options_;
    WorkloadCounters counters_;
    QTemporaryDir dir_;
    std::unique_ptr<QTimer> timer_;
    std::vector<std::unique_ptr<ChatLane>> chat_;
    std::vector<std::unique_ptr<FileLane>> files_;
    std::size_t next_file_lane_ = 0;
    bool finishing_ = false;
    std::int64_t voice_before_ = 0;  // blocks played before the start
};

}  // namespace quorell::test
