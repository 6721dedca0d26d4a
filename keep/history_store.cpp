#include "keep/history_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "keep/history_export.h"

namespace quorell::keep {

namespace {

// Finalizes a prepared statement when it goes.
class Statement {
public:
    explicit Statement(sqlite3_stmt* statement) : statement_(statement) {}
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return statement_; }
    explicit operator bool() const { return statement_ != nullptr; }

    void Bind(int index, const std::string& text) {
        sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
    void Bind(int index, std::int64_t value) { sqlite3_bind_int64(statement_, index, value); }

private:
    sqlite3_stmt* statement_;
};

std::string Column(sqlite3_stmt* statement, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? std::string(text,
                              static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
                : std::string();
}

Record ReadRecord(sqlite3_stmt* statement) {
    Record record;
    record.id = sqlite3_column_int64(statement, 0);
    record.time_ms = sqlite3_column_int64(statement, 1);
    record.kind = static_cast<Kind>(sqlite3_column_int(statement, 2));
    record.text = Column(statement, 3);
    record.saved_path = Column(statement, 4);
    return record;
}

// What the user is told for an SQLite result, in plain words.
std::string Words(int code) {
    switch (code & 0xff) {
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT:
            return "聊天记录文件已损坏或不是聊天记录";
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return "聊天记录文件正被另一个程序占用";
        case SQLITE_FULL:
            return "磁盘已满，聊天记录无法写入";
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return "没有写入聊天记录文件的权限";
        case SQLITE_CANTOPEN:
            return "无法打开聊天记录文件";
        case SQLITE_IOERR:
            return "读写聊天记录文件时出错";
        default:
            return "聊天记录出错";
    }
}

}  // namespace

HistoryStore::HistoryStore() = default;

HistoryStore::~HistoryStore() {
    Close();
}

void HistoryStore::Close() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = nullptr;
}

std::string HistoryStore::Error(const char* doing) const {
    const int code = db_ ? sqlite3_extended_errcode(db_) : SQLITE_CANTOPEN;
    std::string text = Words(code) + "（" + doing;
    if (db_) text += std::string("：") + sqlite3_errmsg(db_);
    return text + "）";
}

std::string HistoryStore::Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) return Error(sql);
    return {};
}

sqlite3_stmt* HistoryStore::Prepare(const char* sql, std::string* error) {
    sqlite3_stmt* statement = nullptr;
    if (db_ == nullptr) {
        if (error) *error = "聊天记录没有打开";
        return nullptr;
    }
    if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) {
        if (error) *error = Error("prepare");
        sqlite3_finalize(statement);
        return nullptr;
    }
    return statement;
}

std::string HistoryStore::Open(const std::string& path, int busy_timeout_ms) {
    Close();
    path_ = path;
    std::error_code ignored;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ignored);
    // Made private before SQLite makes it: its journal files take the database's mode.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);

    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        std::string error = Error("open");
        Close();
        return error;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, busy_timeout_ms);
    for (const char* sql : {
             "PRAGMA journal_mode=WAL",
             "PRAGMA synchronous=NORMAL",
             "CREATE TABLE IF NOT EXISTS lines(id INTEGER PRIMARY KEY AUTOINCREMENT, "
             "peer TEXT NOT NULL, time INTEGER NOT NULL, kind INTEGER NOT NULL, "
             "text TEXT NOT NULL, saved_path TEXT NOT NULL DEFAULT '')",
             "CREATE INDEX IF NOT EXISTS lines_by_peer ON lines(peer, id)",
             // Can it be written now? Another process may hold it.
             "BEGIN IMMEDIATE",
             "COMMIT",
         }) {
        std::string error = Exec(sql);
        if (!error.empty()) {
            Close();
            return error;
        }
    }
    return {};
}

void HistoryStore::SetMaxPages(std::int64_t pages) {
    if (db_ == nullptr) return;
    // A pragma takes no parameters; the text is made of a number only.
    const std::string sql = "PRAGMA max_page_count = " + std::to_string(pages);
    sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
}

std::string HistoryStore::Append(const std::vector<std::pair<std::string, Record>>& records) {
    if (records.empty()) return {};
    std::string error;
    Statement insert(Prepare(
        "INSERT INTO lines(peer, time, kind, text, saved_path) VALUES(?, ?, ?, ?, ?)", &error));
    if (!insert) return error;
    if (error = Exec("BEGIN IMMEDIATE"); !error.empty()) return error;
    for (const auto& [peer, record] : records) {
        insert.Bind(1, peer);
        insert.Bind(2, record.time_ms);
        insert.Bind(3, static_cast<std::int64_t>(record.kind));
        insert.Bind(4, record.text);
        insert.Bind(5, record.saved_path);
        if (sqlite3_step(insert.get()) != SQLITE_DONE) {
            error = Error("insert");
            sqlite3_reset(insert.get());
            Exec("ROLLBACK");
            return error;
        }
        sqlite3_reset(insert.get());
    }
    if (error = Exec("COMMIT"); !error.empty()) {
        Exec("ROLLBACK");
        return error;
    }
    return {};
}

std::vector<Record> HistoryStore::LoadBefore(const std::string& peer, std::int64_t before, int n,
                                             std::string* error) {
    std::vector<Record> records;
    Statement select(
        Prepare("SELECT id, time, kind, text, saved_path FROM lines "
                "WHERE peer = ? AND id < ? ORDER BY id DESC LIMIT ?",
                error));
    if (!select) return records;
    select.Bind(1, peer);
    select.Bind(2, before);
    select.Bind(3, static_cast<std::int64_t>(n));
    int result;
    while ((result = sqlite3_step(select.get())) == SQLITE_ROW) {
        records.push_back(ReadRecord(select.get()));
    }
    if (result != SQLITE_DONE && error) *error = Error("load");
    return {records.rbegin(), records.rend()};
}

std::vector<Record> HistoryStore::Search(const std::string& peer, const std::string& text,
                                         int limit, std::string* error) {
    std::vector<Record> records;
    Statement select(
        Prepare("SELECT id, time, kind, text, saved_path FROM lines "
                "WHERE peer = ? AND (text LIKE ?2 ESCAPE '\\' OR "
                "saved_path LIKE ?2 ESCAPE '\\') ORDER BY id DESC LIMIT ?3",
                error));
    if (!select) return records;
    select.Bind(1, peer);
    select.Bind(2, LikePattern(text));
    select.Bind(3, static_cast<std::int64_t>(limit));
    int result;
    while ((result = sqlite3_step(select.get())) == SQLITE_ROW) {
        records.push_back(ReadRecord(select.get()));
    }
    if (result != SQLITE_DONE && error) *error = Error("search");
    return {records.rbegin(), records.rend()};
}

std::int64_t HistoryStore::Count(const std::string& peer, std::string* error) {
    Statement select(Prepare("SELECT count(*) FROM lines WHERE peer = ?", error));
    if (!select) return 0;
    select.Bind(1, peer);
    if (sqlite3_step(select.get()) != SQLITE_ROW) {
        if (error) *error = Error("count");
        return 0;
    }
    return sqlite3_column_int64(select.get(), 0);
}

std::int64_t HistoryStore::LastId(std::string* error) {
    Statement select(Prepare("SELECT coalesce(max(id), 0) FROM lines", error));
    if (!select) return 0;
    if (sqlite3_step(select.get()) != SQLITE_ROW) {
        if (error) *error = Error("last id");
        return 0;
    }
    return sqlite3_column_int64(select.get(), 0);
}

std::string HistoryStore::Export(const std::string& peer, ExportFormat format,
                                 const std::string& path, const RenderLine& render,
                                 const std::string& title) {
    std::string error;
    Statement select(
        Prepare("SELECT id, time, kind, text, saved_path FROM lines "
                "WHERE peer = ? AND id > ? ORDER BY id LIMIT 1000",
                &error));
    if (!select) return error;
    // A new file of its own beside the target, never one that is there already.
    std::string part = path + ".XXXXXX";
    const int fd = ::mkstemp(part.data());
    if (fd < 0) return "无法写入导出文件：" + path;
    ::close(fd);
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    if (!out) {
        std::remove(part.c_str());
        return "无法写入导出文件：" + path;
    }
    out << ExportHeader(format, title);
    std::int64_t after = 0;
    for (;;) {
        select.Bind(1, peer);
        select.Bind(2, after);
        int rows = 0;
        int result;
        while ((result = sqlite3_step(select.get())) == SQLITE_ROW) {
            const Record record = ReadRecord(select.get());
            after = record.id;
            ++rows;
            out << ExportLine(format, render(record));
        }
        if (result != SQLITE_DONE) error = Error("export");
        sqlite3_reset(select.get());
        if (!error.empty() || rows == 0) break;
    }
    out << ExportFooter(format);
    out.close();
    if (error.empty() && !out) error = "写入导出文件时出错（磁盘可能已满）：" + part;
    if (error.empty() && std::rename(part.c_str(), path.c_str()) != 0) {
        error = "无法保存导出文件：" + path;
    }
    if (!error.empty()) std::remove(part.c_str());
    return error;
}

std::string HistoryStore::Delete(const std::string& peer) {
    std::string error;
    Statement remove(Prepare("DELETE FROM lines WHERE peer = ?", &error));
    if (!remove) return error;
    remove.Bind(1, peer);
    if (sqlite3_step(remove.get()) != SQLITE_DONE) return Error("delete");
    return {};
}

std::string LikePattern(const std::string& text) {
    std::string pattern = "%";
    for (char c : text) {
        if (c == '%' || c == '_' || c == '\\') pattern += '\\';
        pattern += c;
    }
    return pattern + "%";
}

}  // namespace quorell::keep
