#include "keep/history_keeper.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

namespace quorell::keep {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct TempFolder {
    TempFolder() {
        char name[] = "/tmp/keeper_test_XXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempFolder() { fs::remove_all(path); }
    std::string File(const std::string& name) const { return (path / name).string(); }
    fs::path path;
};

Record Line(const std::string& text) {
    Record record;
    record.kind = Kind::kPeer;
    record.text = text;
    return record;
}

struct Problems {
    HistoryKeeper::ProblemHandler Handler() {
        return [this](const Problem& problem) {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back(problem);
        };
    }
    std::vector<Problem> Seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen;
    }
    std::mutex mutex;
    std::vector<Problem> seen;
};

std::int64_t CountOf(HistoryKeeper& keeper, const std::string& peer) {
    std::atomic<std::int64_t> count{-1};
    keeper.Run([&](HistoryStore& store, std::int64_t) { count = store.Count(peer); });
    EXPECT_TRUE(keeper.Flush(10s));
    return count;
}

TEST(HistoryKeeper, LinesOfEarlierRunsLieBelowTheRunStartAndAreWrittenBeforeLaterTasks) {
    TempFolder folder;
    Problems problems;
    {
        HistoryKeeper keeper({folder.File("h.db")}, problems.Handler());
        for (int i = 0; i < 500; ++i) keeper.Append("ip:1.1.1.1", Line("old" + std::to_string(i)));
    }  // written at the end
    HistoryKeeper keeper({folder.File("h.db")}, problems.Handler());
    keeper.Append("ip:1.1.1.1", Line("new"));
    std::vector<Record> before_run;
    std::int64_t total = 0;
    keeper.Run([&](HistoryStore& store, std::int64_t run_start) {
        before_run = store.LoadBefore("ip:1.1.1.1", run_start, 3);
        total = store.Count("ip:1.1.1.1");
    });
    ASSERT_TRUE(keeper.Flush(10s));
    ASSERT_EQ(before_run.size(), 3u);
    EXPECT_EQ(before_run.back().text, "old499");
    EXPECT_EQ(total, 501);
    EXPECT_TRUE(problems.Seen().empty());
}

TEST(HistoryKeeper, LinesThatComeWhileABatchIsWrittenAreWrittenBeforeTheEnd) {
    TempFolder folder;
    Problems problems;
    const std::string path = folder.File("h.db");
    std::optional<HistoryKeeper> keeper(std::in_place, HistoryKeeper::Options{path},
                                        problems.Handler());
    ASSERT_EQ(CountOf(*keeper, "ip:1.1.1.1"), 0);  // opened
    // Another connection holds the write lock for a while: the first batch waits in the store.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    keeper->Append("ip:1.1.1.1", Line("first"));
    std::this_thread::sleep_for(100ms);
    for (int i = 0; i < 50; ++i) keeper->Append("ip:1.1.1.1", Line("meanwhile"));
    std::thread release([other] {
        std::this_thread::sleep_for(300ms);
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(other);
    });
    keeper.reset();  // ends while the first batch still waits
    release.join();
    HistoryStore store;
    ASSERT_EQ(store.Open(path), "");
    EXPECT_EQ(store.Count("ip:1.1.1.1"), 51);
    for (const Problem& problem : problems.Seen()) ADD_FAILURE() << problem.text;
}

TEST(HistoryKeeper, LinesThatFindNoRoomWaitAndAreWrittenOnceThereIsRoom) {
    TempFolder folder;
    Problems problems;
    HistoryKeeper::Options options{folder.File("h.db")};
    options.max_pages = 10;
    options.retry_after = 20ms;
    HistoryKeeper keeper(options, problems.Handler());
    for (int i = 0; i < 60; ++i) keeper.Append("ip:1.1.1.1", Line(std::string(2000, 'x')));
    ASSERT_TRUE(keeper.Flush(10s));
    for (int i = 0; i < 5; ++i) keeper.Append("ip:1.1.1.1", Line("more"));
    ASSERT_TRUE(keeper.Flush(10s));
    const std::vector<Problem> seen = problems.Seen();
    ASSERT_EQ(seen.size(), 1u);  // told once, however often it fails
    EXPECT_EQ(seen[0].kind, Problem::kWrite);
    EXPECT_NE(seen[0].text.find("磁盘已满"), std::string::npos);
    EXPECT_EQ(CountOf(keeper, "ip:1.1.1.1"), 0);

    keeper.Run([](HistoryStore& store, std::int64_t) { store.SetMaxPages(1 << 20); });
    ASSERT_TRUE(keeper.Flush(10s));
    // Written by the retry after a while, in the order they came.
    std::vector<Record> last;
    for (int attempt = 0; attempt < 200 && last.size() < 65; ++attempt) {
        std::this_thread::sleep_for(10ms);
        keeper.Run(
            [&](HistoryStore& store, std::int64_t) { last = store.LoadLast("ip:1.1.1.1", 100); });
        ASSERT_TRUE(keeper.Flush(10s));
    }
    ASSERT_EQ(last.size(), 65u);
    EXPECT_EQ(last.back().text, "more");
    EXPECT_EQ(last.front().text.size(), 2000u);
}

TEST(HistoryKeeper, ADatabaseThatCannotBeOpenedIsToldOnceAndNothingIsKept) {
    TempFolder folder;
    const std::string path = folder.File("h.db");
    std::ofstream(path, std::ios::binary) << std::string(4096, '\x5a');
    Problems problems;
    {
        HistoryKeeper keeper({path}, problems.Handler());
        keeper.Append("ip:1.1.1.1", Line("dropped"));
        bool open = true;
        keeper.Run([&](HistoryStore& store, std::int64_t) { open = store.IsOpen(); });
        ASSERT_TRUE(keeper.Flush(10s));
        EXPECT_FALSE(open);
    }
    const std::vector<Problem> seen = problems.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].kind, Problem::kOpen);
    EXPECT_EQ(fs::file_size(path), 4096u);
}

}  // namespace
}  // namespace quorell::keep
