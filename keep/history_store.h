#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace quorell::keep {

// What a kept line was. The values are stored: never renumber them.
enum class Kind : int {
    kOwn = 0,              // this side's chat line
    kPeer = 1,             // the peer's chat line
    kSystem = 2,           // what the program said (connected, session opened or ended...)
    kTransfer = 3,         // a finished transfer, with where it was saved
    kPeerUnencrypted = 4,  // the peer's line over the plain wire while a session was open
};

// One kept line: the text as typed or received, never the rendered history line, so that it
// can be shown again with its prefix and time stamp.
struct Record {
    std::int64_t id = 0;       // given by the store; grows with every line
    std::int64_t time_ms = 0;  // milliseconds since the epoch (UTC)
    Kind kind = Kind::kSystem;
    std::string text;        // UTF-8
    std::string saved_path;  // a received file's path, empty otherwise
};

enum class ExportFormat { kText, kHtml };

// The rendered line of a record for an export (UTF-8, unescaped: the export escapes it).
using RenderLine = std::function<std::string(const Record&)>;

// Every id is smaller than this.
inline constexpr std::int64_t kNoId = std::numeric_limits<std::int64_t>::max();

// The chat history in one SQLite database: a table of lines, each with its peer's key (the
// session identity "id:…" or the IPv4 address "ip:…"). WAL, a busy time-out, and prepared
// statements only. Not thread-safe: one thread uses a store at a time. Every method that can fail
// returns an error text in plain words, empty on success.
class HistoryStore {
public:
    HistoryStore();
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Opens (or creates) the database at path and checks that it can be written. A file that is
    // not a database, a damaged one or one another process holds locked past the busy time-out
    // is left exactly as it is and an error returned; the store then stays closed.
    std::string Open(const std::string& path, int busy_timeout_ms = 2000);
    bool IsOpen() const { return db_ != nullptr; }
    void Close();

    // Caps the database at this many pages (what a full disk does, as SQLite sees it).
    void SetMaxPages(std::int64_t pages);

    // Appends the records (their ids are ignored) in one transaction: all are kept, or none.
    std::string Append(const std::vector<std::pair<std::string, Record>>& records);
    std::string Append(const std::string& peer, const Record& record) {
        return Append({{peer, record}});
    }

    // The peer's n latest lines with an id below before, oldest first.
    std::vector<Record> LoadBefore(const std::string& peer, std::int64_t before, int n,
                                   std::string* error = nullptr);
    std::vector<Record> LoadLast(const std::string& peer, int n, std::string* error = nullptr) {
        return LoadBefore(peer, kNoId, n, error);
    }
    // The peer's latest lines (at most limit) whose text or saved path holds text as it is
    // (no wildcards), oldest first.
    std::vector<Record> Search(const std::string& peer, const std::string& text, int limit,
                               std::string* error = nullptr);
    std::int64_t Count(const std::string& peer, std::string* error = nullptr);
    // The largest id kept so far (0 when empty).
    std::int64_t LastId(std::string* error = nullptr);

    // Writes the peer's whole history, oldest first, to path: beside it first, then moved over
    // it, so a failed export leaves no half file. Rows are read a page at a time.
    std::string Export(const std::string& peer, ExportFormat format, const std::string& path,
                       const RenderLine& render, const std::string& title);

    // Deletes every line of the peer.
    std::string Delete(const std::string& peer);

private:
    sqlite3_stmt* Prepare(const char* sql, std::string* error);
    std::string Error(const char* doing) const;
    std::string Exec(const char* sql);

    sqlite3* db_ = nullptr;
    std::string path_;
};

// The text of a pattern for LIKE … ESCAPE '\': %, _ and \ each preceded by \, in %…%.
std::string LikePattern(const std::string& text);

}  // namespace quorell::keep
