// The real executable, run as a child process: start-up, one copy per user and a control port
// that stays up whatever a client sends it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "support/raw_tcp.h"
#include "support/wait.h"

namespace quorell::test {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

constexpr int kControlPort = 1001;
// Generous: a loaded two-core machine running a sanitizer build may take seconds for each.
constexpr std::chrono::milliseconds kStartLimit = 15s;
constexpr std::chrono::milliseconds kServeLimit = 10s;
constexpr std::chrono::milliseconds kExitLimit = 10s;
const std::string kRefusal = "本软件一次只能运行一个副本";

// Whether copies started by this test may listen on the control port (below 1024). Explains why
// not in *why.
bool MayListenOnControlPort(std::string* why) {
    if (geteuid() == 0) return true;
    int first_free = 1024;
    if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_unprivileged_port_start", "r")) {
        if (std::fscanf(f, "%d", &first_free) != 1) first_free = 1024;
        std::fclose(f);
    }
    if (first_free <= kControlPort) return true;
    if (getxattr(QUORELL_BINARY, "security.capability", nullptr, 0) > 0) return true;
    *why = "not running as root and " QUORELL_BINARY
           " has no cap_net_bind_service, so it cannot listen on TCP port 1001 (grant it with "
           "setcap cap_net_bind_service=+ep, or run as root)";
    return false;
}

// One chat exchange on a fresh connection: a line, a pause in which a connection thread has to
// keep the connection open waiting for more, then the blank line after which the server ends it.
// Each line is shown in the window before the next is read, so the end also proves that the
// window thread took the line. A connection turned away at once (the server still winding down
// earlier ones) is tried again until timeout.
::testing::AssertionResult ServesChatLine(ChildProcess& child, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (child.Running() && Clock::now() < deadline) {
        ClientSocket s = ConnectLoopback(kControlPort, 2s);
        if (s && s.SendAll("ping\r\n") && !s.ServerClosedWithin(200ms) && s.SendAll("\r\n")) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (s.ServerClosedWithin(std::max(left, 1000ms))) return ::testing::AssertionSuccess();
        }
        std::this_thread::sleep_for(50ms);
    }
    return ::testing::AssertionFailure()
           << "no chat line served on TCP port " << kControlPort << " within " << timeout.count()
           << " ms; the program is " << child.Describe() << "; its output:\n"
           << child.Output();
}

// SIGTERM must end the program promptly, by the signal itself or by an orderly exit, never by a
// crash.
::testing::AssertionResult EndsOnSigterm(ChildProcess& child) {
    child.Signal(SIGTERM);
    if (!child.WaitForExit(kExitLimit)) {
        return ::testing::AssertionFailure()
               << "still running " << kExitLimit.count() << " ms after SIGTERM";
    }
    const int status = child.status();
    if ((WIFEXITED(status) && WEXITSTATUS(status) == 0) ||
        (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "after SIGTERM the program " << child.Describe() << "; its output:\n"
           << child.Output();
}

// A sanitizer build of the program reports memory errors and undefined behaviour on its standard
// error and may carry on; the report is what shows the fault.
::testing::AssertionResult NoSanitizerReport(const ChildProcess& child) {
    const std::string output = child.Output();
    for (const char* mark :
         {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:"}) {
        if (output.find(mark) != std::string::npos) {
            return ::testing::AssertionFailure() << "sanitizer report in the program's output:\n"
                                                 << output;
        }
    }
    return ::testing::AssertionSuccess();
}

class QuorellProcess : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!MayListenOnControlPort(&why)) GTEST_SKIP() << why;
        ASSERT_TRUE(WaitUntil([] { return !PortAccepts(kControlPort); }, kExitLimit))
            << "TCP port " << kControlPort
            << " is taken by another program; these tests need it free";
    }

    // A copy of the program whose one-copy lock lives in this test's own runtime directory, so
    // it never meets a copy the user runs. It gets no sound server, as on a machine without
    // sound: these tests are about the network, and a ring for each of hundreds of garbage
    // lines would only slow them down.
    std::unique_ptr<ChildProcess> Start(const std::string& log_name) {
        const std::string runtime = runtime_dir_.path().string();
        return std::make_unique<ChildProcess>(
            QUORELL_BINARY,
            ChildProcess::Environment{{"QT_QPA_PLATFORM", "offscreen"},
                                      {"XDG_RUNTIME_DIR", runtime},
                                      {"PULSE_SERVER", "unix:" + runtime + "/no-sound-server"}},
            logs_.path() / log_name);
    }

    TempDir runtime_dir_;
    TempDir logs_;
};

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

std::string RandomBytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(byte(generator));
    return bytes;
}

void RaiseOpenFileLimit(rlim_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
    limit.rlim_cur = std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
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
        RaiseOpenFileLimit(4096);
        std::vector<ClientSocket> idle;
        for (int i = 0; i < kIdle; ++i) {
            ClientSocket s = StartConnectLoopback(kControlPort);
            ASSERT_TRUE(s) << "socket " << i << ": " << std::strerror(errno);
            idle.push_back(std::move(s));
        }
        // A burst this size overflows the listen queue; the kernel retries the rest.
        const auto deadline = Clock::now() + kServeLimit;
        int connected = 0;
        for (ClientSocket& s : idle) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (ConnectCompleted(s.fd(), std::max(left, 1ms))) ++connected;
        }
        EXPECT_GT(connected, kIdle / 2);
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
