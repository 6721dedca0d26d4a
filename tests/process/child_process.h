#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace quorell::test {

// A fresh directory (mode 0700) under the system's temporary directory, removed with everything
// in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::string ReadWholeFile(const std::filesystem::path& path);

// One run of an executable with standard input from /dev/null and standard output and standard
// error appended to stderr_path. Whatever happens to the test, the child is killed and reaped when
// the object goes.
class ChildProcess {
public:
    using Environment = std::vector<std::pair<std::string, std::string>>;

    // Starts binary with the test's own environment, overridden by env. Throws when the spawn
    // itself fails.
    ChildProcess(const std::string& binary, const Environment& env,
                 std::filesystem::path stderr_path);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Reaps the child if it has ended; false from then on.
    bool Running();
    // True once the child has ended within timeout.
    bool WaitForExit(std::chrono::milliseconds timeout);
    void Signal(int signal);
    // The wait status; only meaningful once Running() returned false.
    int status() const { return status_; }
    // "running", "exited with status N" or "killed by signal N (name)".
    std::string Describe();
    // Everything the child wrote so far.
    std::string Output() const { return ReadWholeFile(stderr_path_); }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::filesystem::path stderr_path_;
};

}  // namespace quorell::test
