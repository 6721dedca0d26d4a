#pragma once

// The program under test, started as a child process on its fixed ports, and the checks that it
// is still up and serving.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "child_process.h"

namespace quorell::test {

inline constexpr int kControlPort = 1001;
inline constexpr int kFilePort = 8090;
inline constexpr int kSinkPort = 9002;
inline constexpr int kSessionPort = 9010;

// Whether copies started by a test may listen on the control port (below 1024). Explains why
// not in *why.
bool MayListenOnControlPort(std::string* why);

// One chat exchange from a fresh connection made from `from` (a loopback address): a line, a
// pause in which the connection thread keeps the connection open waiting for more, then the
// blank line after which the server ends it. Each line is shown in the window before the next is
// read, so the end proves that the window thread took the line. A connection turned away is
// tried again until timeout.
::testing::AssertionResult ServesChatLine(ChildProcess& child, std::chrono::milliseconds timeout,
                                          const char* from = "127.0.0.1");

// A name datagram to the file port from a fresh socket on 127.0.0.1 is answered "Recived File
// Name OK!". Datagrams are lost under a flood, so a probe goes out again every half second
// until timeout.
::testing::AssertionResult AnswersNameDatagram(ChildProcess& child,
                                               std::chrono::milliseconds timeout);

// SIGTERM ends the program promptly, by the signal itself or by an orderly exit, never by a
// crash.
::testing::AssertionResult EndsOnSigterm(ChildProcess& child);

// A sanitizer build of the program reports memory errors, data races and undefined behaviour
// on its standard error and may carry on; the report is what shows the fault.
::testing::AssertionResult NoSanitizerReport(const ChildProcess& child);

// Starts copies of the program that keep their one-copy lock in the test's own runtime
// directory. Skips when the control port cannot be had.
class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override;

    // Without a sound server (as on a machine without sound) unless pulse_server names one.
    std::unique_ptr<ChildProcess> Start(const std::string& log_name,
                                        const std::string& pulse_server = "");

    TempDir runtime_dir_;
    TempDir logs_;
};

}  // namespace quorell::test
