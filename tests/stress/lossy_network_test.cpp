// Two peers under the full workload while the network loses a share of the datagrams. Run by
// scripts/netns-run, which sets up the loss inside a network namespace of its own and says how
// much in QUORELL_LOSS_PERCENT; without it the test skips.
#include <QPushButton>
#include <iostream>

#include "app/form1.h"
#include "support/two_peers.h"
#include "support/workload.h"

namespace quorell::test {
namespace {

class LossyNetworkTest : public TwoPeers {};

TEST_F(LossyNetworkTest, FilesArriveWholeOrReportedShortWhileLinesAndMediaCarryOn) {
    const QByteArray loss = qgetenv("QUORELL_LOSS_PERCENT");
    if (loss.isEmpty()) GTEST_SKIP() << "runs under scripts/netns-run, which drops datagrams";

    // A lost datagram shows only as the sender's time-out; a short one gives many transfers.
    a->form->IdUDPClient2().ReceiveTimeout = 300;
    b->form->IdUDPClient2().ReceiveTimeout = 300;
    WorkloadOptions options;
    options.file_min_bytes = 2 * 1024;
    options.file_max_bytes = 40 * 1024;
    options.file_patience = std::chrono::seconds(2);
    options.seed = loss.toUInt();
    Workload workload(*a, *b, options);
    QString why;
    ASSERT_TRUE(workload.Start(&why)) << why.toStdString();

    Settle(std::chrono::seconds(12));
    const WorkloadCounters before = workload.Counters();
    Settle(std::chrono::seconds(4));
    const WorkloadCounters after = workload.Counters();
    ASSERT_TRUE(workload.Finish(std::chrono::seconds(30))) << workload.Summary().toStdString();
    const WorkloadCounters& c = workload.Counters();
    std::cout << "loss " << loss.toStdString() << "%: " << workload.Summary().toStdString() << "\n";
    for (const QString& note : c.notes) std::cout << "  " << note.toStdString() << "\n";

    // Chat goes over the stream connections: every line arrives once and intact.
    EXPECT_GT(c.lines_sent, 20);
    EXPECT_EQ(workload.LinesMissing(), 0);
    EXPECT_EQ(c.lines_garbled, 0);
    EXPECT_EQ(c.lines_repeated, 0);
    EXPECT_EQ(c.lines_unconfirmed, 0);

    // A file arrives byte for byte or is reported short with a true beginning kept; one
    // whose first datagrams were lost never started and leaves nothing behind.
    EXPECT_GE(c.files_sent, 2);
    EXPECT_EQ(c.files_corrupted, 0);
    EXPECT_EQ(c.files_identical + c.files_incomplete + c.files_not_started, c.files_sent);
    EXPECT_EQ(c.error_boxes, 0);

    // Frames and voice keep coming after the losses.
    EXPECT_GT(after.frames_shown, before.frames_shown + 5);
    EXPECT_GT(after.voice_blocks, before.voice_blocks);
}

}  // namespace
}  // namespace quorell::test
