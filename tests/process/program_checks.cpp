#include "program_checks.h"

#include <signal.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "attackers.h"
#include "support/raw_tcp.h"
#include "support/raw_udp.h"
#include "support/wait.h"

namespace quorell::test {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kExitLimit = 10s;
constexpr std::string_view kNameProbe = "Send file:File Name:probe.txt";
constexpr std::string_view kNameAnswer = "Recived File Name OK!";

std::chrono::milliseconds Left(Clock::time_point deadline) {
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                    1ms);
}

}  // namespace

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

::testing::AssertionResult ServesChatLine(ChildProcess& child, std::chrono::milliseconds timeout,
                                          const char* from) {
    const auto deadline = Clock::now() + timeout;
    int tries = 0;
    while (child.Running() && Clock::now() < deadline) {
        ++tries;
        ClientSocket s = ConnectLoopbackFrom(from, kControlPort, std::min(Left(deadline), 2000ms));
        if (s && s.SendAll("ping\r\n") && !s.ServerClosedWithin(200ms) && s.SendAll("\r\n")) {
            if (s.ServerClosedWithin(std::max(Left(deadline), 1000ms))) {
                return ::testing::AssertionSuccess();
            }
        }
        std::this_thread::sleep_for(50ms);
    }
    return ::testing::AssertionFailure()
           << "no chat line from " << from << " served on TCP port " << kControlPort << " within "
           << timeout.count() << " ms (" << tries << " tries); the program is " << child.Describe()
           << "; its output:\n"
           << child.Output();
}

::testing::AssertionResult AnswersNameDatagram(ChildProcess& child,
                                               std::chrono::milliseconds timeout) {
    RawUdp probe("127.0.0.1");
    if (!probe.ok()) return ::testing::AssertionFailure() << "no socket for the probe";
    const auto deadline = Clock::now() + timeout;
    while (child.Running() && Clock::now() < deadline) {
        if (!probe.SendTo("127.0.0.1", kFilePort, kNameProbe)) {
            std::this_thread::sleep_for(50ms);
            continue;
        }
        const auto resend = std::min(Clock::now() + 500ms, deadline);
        while (Clock::now() < resend) {
            const auto reply = probe.Receive(Left(resend));
            if (!reply) break;
            if (reply->bytes == kNameAnswer && reply->port == kFilePort) {
                return ::testing::AssertionSuccess();
            }
        }
    }
    return ::testing::AssertionFailure()
           << "no answer to a name datagram on UDP port " << kFilePort << " within "
           << timeout.count() << " ms; the program is " << child.Describe() << "; its output:\n"
           << child.Output();
}

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

void ProgramTest::SetUp() {
    std::string why;
    if (!MayListenOnControlPort(&why)) GTEST_SKIP() << why;
    for (const int port : {kControlPort, kSinkPort}) {
        ASSERT_TRUE(WaitUntil([port] { return !PortAccepts(port); }, kExitLimit))
            << "TCP port " << port << " is taken by another program; these tests need it free";
    }
}

std::unique_ptr<ChildProcess> ProgramTest::Start(const std::string& log_name,
                                                 const std::string& pulse_server) {
    const std::string runtime = runtime_dir_.path().string();
    // An AddressSanitizer build keeps up to 256 MiB of freed memory out of use to catch late
    // uses of it; a small quarantine lets the resident size tell what the program itself holds.
    // (Other builds ignore the setting.)
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asan_options = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "";
    asan_options += "quarantine_size_mb=16:thread_local_quarantine_size_kb=64";
    return std::make_unique<ChildProcess>(
        QUORELL_BINARY,
        ChildProcess::Environment{
            {"QT_QPA_PLATFORM", "offscreen"},
            {"XDG_RUNTIME_DIR", runtime},
            // The identity the program makes at its first start, kept with the run.
            {"XDG_DATA_HOME", runtime + "/data"},
            {"PULSE_SERVER",
             pulse_server.empty() ? "unix:" + runtime + "/no-sound-server" : pulse_server},
            {"ASAN_OPTIONS", asan_options},
            // Listening on every address, the program would announce itself through the
            // machine's Avahi daemon; a bus that is not there keeps the test off the network.
            {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + runtime + "/no-system-bus"},
            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + runtime + "/no-session-bus"}},
        logs_.path() / log_name);
}

}  // namespace quorell::test
