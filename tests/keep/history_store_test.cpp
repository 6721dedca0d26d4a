#include "keep/history_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "keep/history_export.h"

namespace quorell::keep {
namespace {

namespace fs = std::filesystem;

struct TempFolder {
    TempFolder() {
        char name[] = "/tmp/keep_test_XXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempFolder() { fs::remove_all(path); }
    std::string File(const std::string& name) const { return (path / name).string(); }
    fs::path path;
};

Record Line(const std::string& text, Kind kind = Kind::kOwn) {
    Record record;
    record.time_ms = 1700000000000;
    record.kind = kind;
    record.text = text;
    return record;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Texts(const std::vector<Record>& records) {
    std::vector<std::string> texts;
    for (const Record& record : records) texts.push_back(record.text);
    return texts;
}

TEST(HistoryStore, PagesGoBackwardsPerPeerOldestFirstWithinAPage) {
    TempFolder folder;
    HistoryStore store;
    ASSERT_EQ(store.Open(folder.File("sub/history.db")), "");  // the folder is made
    std::vector<std::pair<std::string, Record>> batch;
    for (int i = 0; i < 250; ++i) {
        batch.emplace_back("ip:10.0.0.1", Line("a" + std::to_string(i)));
        if (i % 10 == 0) batch.emplace_back("id:other", Line("b" + std::to_string(i)));
    }
    ASSERT_EQ(store.Append(batch), "");

    const std::vector<Record> last = store.LoadLast("ip:10.0.0.1", 100);
    ASSERT_EQ(last.size(), 100u);
    EXPECT_EQ(last.front().text, "a150");
    EXPECT_EQ(last.back().text, "a249");
    const std::vector<Record> older = store.LoadBefore("ip:10.0.0.1", last.front().id, 100);
    ASSERT_EQ(older.size(), 100u);
    EXPECT_EQ(older.front().text, "a50");
    EXPECT_EQ(older.back().text, "a149");
    const std::vector<Record> oldest = store.LoadBefore("ip:10.0.0.1", older.front().id, 100);
    ASSERT_EQ(oldest.size(), 50u);
    EXPECT_EQ(oldest.front().text, "a0");
    EXPECT_TRUE(store.LoadBefore("ip:10.0.0.1", oldest.front().id, 100).empty());
    EXPECT_EQ(store.Count("id:other"), 25);
    EXPECT_TRUE(store.LoadLast("ip:10.0.0.2", 10).empty());

    // Deleting one peer leaves the other, and ids are never given again.
    const std::int64_t last_id = store.LastId();
    ASSERT_EQ(store.Delete("ip:10.0.0.1"), "");
    EXPECT_EQ(store.Count("ip:10.0.0.1"), 0);
    EXPECT_EQ(store.Count("id:other"), 25);
    ASSERT_EQ(store.Append("ip:10.0.0.1", Line("again")), "");
    EXPECT_GT(store.LoadLast("ip:10.0.0.1", 1).at(0).id, last_id);
}

TEST(HistoryStore, KeepsTextPathAndKindAsTheyCameAndSearchesLiterally) {
    TempFolder folder;
    HistoryStore store;
    ASSERT_EQ(store.Open(folder.File("history.db")), "");
    Record file = Line("收到文件", Kind::kTransfer);
    file.saved_path = "/home/u/下载/report_2024.pdf";
    const std::string with_nul("nul\0inside", 10);
    for (const Record& record :
         {Line("100% sure"), Line("a_b"), Line("back\\slash"), Line("plain"),
          Line("'); DROP TABLE lines; --", Kind::kPeer), Line(with_nul), file}) {
        ASSERT_EQ(store.Append("ip:1.2.3.4", record), "");
    }
    ASSERT_EQ(store.Append("ip:5.6.7.8", Line("100% other peer")), "");

    EXPECT_EQ(Texts(store.Search("ip:1.2.3.4", "%", 10)), std::vector<std::string>{"100% sure"});
    EXPECT_EQ(Texts(store.Search("ip:1.2.3.4", "_", 10)),
              (std::vector<std::string>{"a_b", "收到文件"}));  // the saved path has one too
    EXPECT_EQ(Texts(store.Search("ip:1.2.3.4", "\\", 10)), std::vector<std::string>{"back\\slash"});
    EXPECT_EQ(Texts(store.Search("ip:1.2.3.4", "report_2024", 10)),
              std::vector<std::string>{"收到文件"});
    EXPECT_EQ(store.Search("ip:1.2.3.4", "", 3).size(), 3u);  // the latest three

    const std::vector<Record> all = store.LoadLast("ip:1.2.3.4", 10);
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(all[4].text, "'); DROP TABLE lines; --");
    EXPECT_EQ(all[4].kind, Kind::kPeer);
    EXPECT_EQ(all[5].text, with_nul);
    EXPECT_EQ(all[6].kind, Kind::kTransfer);
    EXPECT_EQ(all[6].saved_path, file.saved_path);
    EXPECT_EQ(all[6].time_ms, file.time_ms);
}

TEST(HistoryStore, ADamagedFileIsToldAndLeftAsItIs) {
    TempFolder folder;
    const std::string path = folder.File("history.db");
    std::string garbage(8192, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 7 + 3);
    std::ofstream(path, std::ios::binary) << garbage;

    HistoryStore store;
    const std::string error = store.Open(path);
    EXPECT_NE(error.find("损坏"), std::string::npos) << error;
    EXPECT_FALSE(store.IsOpen());
    EXPECT_EQ(ReadAll(path), garbage);
    std::string load_error;
    EXPECT_TRUE(store.LoadLast("ip:1.1.1.1", 10, &load_error).empty());
    EXPECT_FALSE(load_error.empty());
    EXPECT_FALSE(store.Append("ip:1.1.1.1", Line("x")).empty());
    EXPECT_EQ(ReadAll(path), garbage);
}

TEST(HistoryStore, AFileLockedByAnotherConnectionIsToldAndKeepsItsLines) {
    TempFolder folder;
    const std::string path = folder.File("history.db");
    {
        HistoryStore store;
        ASSERT_EQ(store.Open(path), "");
        ASSERT_EQ(store.Append("ip:1.1.1.1", Line("before")), "");
    }
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    HistoryStore store;
    const std::string error = store.Open(path, 50);
    EXPECT_NE(error.find("占用"), std::string::npos) << error;
    EXPECT_FALSE(store.IsOpen());

    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    ASSERT_EQ(store.Open(path), "");
    EXPECT_EQ(Texts(store.LoadLast("ip:1.1.1.1", 10)), std::vector<std::string>{"before"});
}

TEST(HistoryStore, AFullDiskFailsTheWholeBatchAndKeepsWhatWasStored) {
    TempFolder folder;
    HistoryStore store;
    ASSERT_EQ(store.Open(folder.File("history.db")), "");
    ASSERT_EQ(store.Append("ip:1.1.1.1", Line("kept")), "");
    store.SetMaxPages(12);
    std::string error;
    int written = 0;
    for (; written < 200 && error.empty(); ++written) {
        std::vector<std::pair<std::string, Record>> batch;
        for (int k = 0; k < 3; ++k)
            batch.emplace_back("ip:1.1.1.1", Line(std::string(1500, static_cast<char>('a' + k))));
        error = store.Append(batch);
    }
    EXPECT_NE(error.find("磁盘已满"), std::string::npos) << error;
    // Batches written before are whole, the failed one left nothing, the file is sound.
    EXPECT_EQ(store.Count("ip:1.1.1.1"), 1 + 3 * (written - 1));
    EXPECT_EQ(store.LoadBefore("ip:1.1.1.1", kNoId, 100000).front().text, "kept");
    store.SetMaxPages(1000000);
    EXPECT_EQ(store.Append("ip:1.1.1.1", Line("after room came")), "");
}

TEST(HistoryExport, HostileLinesAreShownAndNeverRun) {
    TempFolder folder;
    HistoryStore store;
    ASSERT_EQ(store.Open(folder.File("history.db")), "");
    const std::string long_line(1 << 20, 'L');
    for (const std::string& text :
         {std::string("<script>alert(1)</script>"), std::string("<img src=x onerror=\"a()\">&'"),
          std::string("esc\x1b[31mred\x07 del\x7f cr\rlf\r\nnext"),
          std::string("bad \xff\xfe utf8 \xc0\xaf overlong"),
          std::string("evil\xe2\x80\xaetxt.exe"), long_line}) {
        ASSERT_EQ(store.Append("ip:1.1.1.1", Line(text)), "");
    }
    const RenderLine render = [](const Record& record) { return "自己[t]: " + record.text; };
    const std::string html_path = folder.File("out.html");
    ASSERT_EQ(store.Export("ip:1.1.1.1", ExportFormat::kHtml, html_path, render, "<b>peer</b>"),
              "");
    const std::string html = ReadAll(html_path);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<img"), std::string::npos);
    EXPECT_EQ(html.find("<b>"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(html.find("&quot;a()&quot;&gt;&amp;&#39;"), std::string::npos);
    EXPECT_NE(html.find("default-src 'none'"), std::string::npos);
    EXPECT_NE(html.find(long_line), std::string::npos);
    EXPECT_EQ(
        std::find_if(html.begin(), html.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\n'; }),
        html.end());
    EXPECT_EQ(html.find("\xe2\x80\xae"), std::string::npos);  // no direction override
    EXPECT_EQ(html.find("\xff"), std::string::npos);

    const std::string text_path = folder.File("out.txt");
    ASSERT_EQ(store.Export("ip:1.1.1.1", ExportFormat::kText, text_path, render, "peer"), "");
    const std::string text = ReadAll(text_path);
    EXPECT_NE(text.find("<script>alert(1)</script>"), std::string::npos);
    EXPECT_NE(
        text.find("esc\xe2\x90\x9b[31mred\xe2\x90\x87 del\xe2\x90\xa1 cr\xe2\x90\x8dlf\nnext"),
        std::string::npos);
    EXPECT_NE(text.find("bad \xef\xbf\xbd\xef\xbf\xbd utf8"), std::string::npos);
    EXPECT_NE(text.find(long_line + "\n"), std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path), fs::directory_iterator()),
              5);  // the database, its two journal files and the two exports: nothing left over

    // A folder that is not there: an error and no file.
    const std::string missing = folder.File("no/such/out.txt");
    EXPECT_FALSE(store.Export("ip:1.1.1.1", ExportFormat::kText, missing, render, "p").empty());
    EXPECT_FALSE(fs::exists(missing));
}

}  // namespace
}  // namespace quorell::keep
