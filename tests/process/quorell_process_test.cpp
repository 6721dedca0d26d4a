// The real executable, run as a child process: start-up, one copy per user and a control port
// that stays up whatever a client sends it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "attackers.h"
#include "child_process.h"
#include "program_checks.h"
#include "support/raw_tcp.h"
#include "support/raw_udp.h"
#include "support/wait.h"

namespace quorell::test {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

// Generous: a loaded two-core machine running a sanitizer build may take seconds for each.
constexpr std::chrono::milliseconds kStartLimit = 15s;
constexpr std::chrono::milliseconds kServeLimit = 10s;
constexpr std::chrono::milliseconds kExitLimit = 10s;
const std::string kRefusal = "本软件一次只能运行一个副本";

// Copies of the program without a sound server, as on a machine without sound: these tests are
// about the network, and a ring for each of hundreds of garbage lines would only slow them down.
using QuorellProcess = ProgramTest;

TEST_F(QuorellProcess, SecondCopyIsTurnedAwayAndTheFirstKeepsServing) {
    auto first = Start("first.log");
    ASSERT_TRUE(ServesChatLine(*first, kStartLimit));

    auto second = Start("second.log");
    ASSERT_TRUE(WaitUntil(
        [&] { return second->Output().find(kRefusal) != std::string::npos || !second->Running(); },
        kStartLimit))
        << "the second copy neither refused nor ended; its output:\n"
        << second->Output();
    EXPECT_NE(second->Output().find(kRefusal), std::string::npos)
        << "the second copy " << second->Describe() << " without refusing; its output:\n"
        << second->Output();
    EXPECT_TRUE(ServesChatLine(*first, kServeLimit)) << "after the second copy was refused";
    // Its warning box waits for a click that never comes offscreen. If it ended by itself anyway,
    // it must have ended normally.
    if (second->Running()) {
        second->Signal(SIGKILL);
        ASSERT_TRUE(second->WaitForExit(kExitLimit));
    } else {
        EXPECT_TRUE(WIFEXITED(second->status()) && WEXITSTATUS(second->status()) == 0)
            << "the refused copy " << second->Describe() << "; its output:\n"
            << second->Output();
    }
    EXPECT_TRUE(NoSanitizerReport(*second));
    EXPECT_TRUE(ServesChatLine(*first, kServeLimit)) << "after the second copy was killed";

    ASSERT_TRUE(EndsOnSigterm(*first));
    EXPECT_TRUE(NoSanitizerReport(*first));
    // The lock and the port went with the first copy: the next one starts as the only copy.
    ASSERT_TRUE(WaitUntil([] { return !PortAccepts(kControlPort); }, kExitLimit))
        << "the control port still accepts after the program ended";
    auto again = Start("again.log");
    ASSERT_TRUE(ServesChatLine(*again, kStartLimit));
    EXPECT_EQ(again->Output().find(kRefusal), std::string::npos) << again->Output();
    EXPECT_TRUE(EndsOnSigterm(*again));
    EXPECT_TRUE(NoSanitizerReport(*again));
}

TEST_F(QuorellProcess, TerminationSignalEndsTheProgramWhileAStartUpBoxIsOpen) {
    // The file port is taken, so the program starts with an error box, after its control port
    // is up. The signal must end it rather than only close the box.
    RawUdp holder("0.0.0.0", kFilePort);
    ASSERT_TRUE(holder.ok()) << "UDP port " << kFilePort << " is in use: " << std::strerror(errno);
    auto program = Start("program.log");
    ASSERT_TRUE(WaitUntil([] { return PortAccepts(kControlPort); }, kStartLimit))
        << "the program " << program->Describe() << "; its output:\n"
        << program->Output();
    std::this_thread::sleep_for(500ms);  // the box opens right after the failed bind
    ASSERT_TRUE(program->Running()) << program->Output();
    EXPECT_TRUE(EndsOnSigterm(*program));
    EXPECT_TRUE(NoSanitizerReport(*program));
}

// Sends bytes on a fresh connection, ends the stream and expects the server to end the
// connection in turn, with the program still running.
::testing::AssertionResult SendAndFinish(ChildProcess& program, const std::string& bytes,
                                         std::chrono::milliseconds limit = kServeLimit) {
    ClientSocket s = ConnectLoopback(kControlPort, kServeLimit);
    if (!s) {
        return ::testing::AssertionFailure() << "the control port took no connection; the program "
                                             << program.Describe() << "; its output:\n"
                                             << program.Output();
    }
    // The server may give up on the connection half-way (an over-long line, a blank line that
    // ends the chat); whatever it did not read is lost on purpose.
    s.SendAll(bytes);
    s.FinishSending();
    if (!s.ServerClosedWithin(limit)) {
        return ::testing::AssertionFailure()
               << "the server kept the connection " << limit.count() << " ms after it ended";
    }
    if (!program.Running()) {
        return ::testing::AssertionFailure()
               << "the program " << program.Describe() << "; its output:\n"
               << program.Output();
    }
    return ::testing::AssertionSuccess();
}

TEST_F(QuorellProcess, ControlPortSurvivesHostileClients) {
    auto program = Start("program.log");
    ASSERT_TRUE(ServesChatLine(*program, kStartLimit));

    auto still_serving = [&](const char* batch) {
        ASSERT_TRUE(program->Running())
            << "after " << batch << " the program " << program->Describe() << "; its output:\n"
            << program->Output();
        ASSERT_TRUE(ServesChatLine(*program, kServeLimit)) << "after " << batch;
        ASSERT_TRUE(NoSanitizerReport(*program)) << "after " << batch;
    };

    {
        SCOPED_TRACE("chat lines");
        ASSERT_TRUE(SendAndFinish(*program, "hello\r\n"));
        ASSERT_TRUE(
            SendAndFinish(*program, "first/@@second\r\nthird\r\n\r\nafter the blank line\r\n"));
        ASSERT_NO_FATAL_FAILURE(still_serving("chat lines"));
    }
    {
        SCOPED_TRACE("binary garbage and broken GBK");
        const std::vector<std::string> garbage = {
            "\0\0\0\r\n"s,
            "\xff\xfe\xfd\r\n\x81\r\n\x80\x00\x81\x7f\r\n\xa1\n\xfe\xff\xfe\r\n"s,
            "system1:\xff\x00 12\r\n"s,
            "system1:99999999999999999999999999\r\n",
            "system1:\r\n",
            "system1:-2147483649\r\n",
            "system3:\x81\x00\xff\r\n"s,
            "system2:\0\r\n"s,
            "/@@/@@/@@\r\n" + std::string(3000, '\xff') + "\r\n",
            "text ending on a lead byte \x81",
            RandomBytes(64 * 1024, 1001),
            RandomBytes(64 * 1024, 8090),
        };
        for (std::size_t i = 0; i < garbage.size(); ++i) {
            // The random blocks are a few hundred lines that all go into the history, which a
            // sanitizer build on a busy machine takes its time over.
            const auto limit = garbage[i].size() > 4096 ? 3 * kServeLimit : kServeLimit;
            ASSERT_TRUE(SendAndFinish(*program, garbage[i], limit)) << "garbage item " << i;
        }
        ASSERT_NO_FATAL_FAILURE(still_serving("binary garbage"));
    }
    {
        SCOPED_TRACE("over-long lines");
        ASSERT_TRUE(SendAndFinish(*program, std::string(20000, 'A') + "\r\n"));
        // Without an end of line and without an end of stream the server has to give up by
        // itself rather than keep buffering.
        ClientSocket endless = ConnectLoopback(kControlPort, kServeLimit);
        ASSERT_TRUE(endless);
        endless.SendAll(std::string(100 * 1024, 'B'));
        EXPECT_TRUE(endless.ServerClosedWithin(kServeLimit))
            << "a line with no end was kept buffering";
        ASSERT_NO_FATAL_FAILURE(still_serving("over-long lines"));
    }
    {
        SCOPED_TRACE("connections reset mid-line");
        for (int i = 0; i < 20; ++i) {
            ClientSocket s = ConnectLoopback(kControlPort, kServeLimit);
            ASSERT_TRUE(s);
            std::string bytes = "half a li";
            // Some with whole lines in front, so the reset can hit a thread showing them.
            for (int line = 0; line < i * 10; ++line) bytes.insert(0, "line\r\n");
            s.SendAll(bytes);
            s.Reset();
        }
        ASSERT_NO_FATAL_FAILURE(still_serving("resets"));
    }
    {
        SCOPED_TRACE("hundreds of idle connections");
        constexpr int kIdle = 300;
        RaiseDescriptorLimit(4096);
        std::vector<ClientSocket> idle;
        for (int i = 0; i < kIdle; ++i) {
            ClientSocket s = StartConnectLoopback(kControlPort);
            ASSERT_TRUE(s) << "socket " << i << ": " << std::strerror(errno);
            idle.push_back(std::move(s));
        }
        // One address may keep only 16 connections waiting for a line; the rest of the burst is
        // turned away as the program takes it from its queue.
        const auto deadline = Clock::now() + kServeLimit;
        int connected = 0;
        for (ClientSocket& s : idle) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (ConnectCompleted(s.fd(), std::max(left, 1ms))) ++connected;
        }
        EXPECT_GE(connected, 16);
        ASSERT_TRUE(program->Running()) << "with " << connected << " idle connections open, "
                                        << program->Describe() << "; its output:\n"
                                        << program->Output();
        idle.clear();
        ASSERT_NO_FATAL_FAILURE(still_serving("hundreds of idle connections"));
    }

    // A client that connects and never writes holds only its own connection.
    ClientSocket silent = ConnectLoopback(kControlPort, kServeLimit);
    ASSERT_TRUE(silent);
    ASSERT_NO_FATAL_FAILURE(still_serving("a silent connection"));

    // Ending is prompt even with that connection still open.
    EXPECT_TRUE(EndsOnSigterm(*program));
    EXPECT_TRUE(NoSanitizerReport(*program));
}

}  // namespace
}  // namespace quorell::test
