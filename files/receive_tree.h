#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quorell::files {

// A descriptor closed with its owner.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int Release();
    void Reset();

private:
    int fd_ = -1;
};

// What a file-system step gave: `error` is 0 or an errno value (EEXIST when a final name is
// taken, ELOOP for a link on the way, ENOTDIR for a non-folder, EINVAL for a refused path,
// EMFILE when too many partial files are open), and `text` says it for the log and the user.
struct Outcome {
    int error = 0;
    std::string text;

    bool ok() const { return error == 0; }
};

// A partial file, open for writing at its end. What was written stays in it whatever fails.
class PartFile {
public:
    // Written bytes are sent on towards the disk this many at a time.
    static constexpr std::uint64_t kFlushBytes = 8 * 1024 * 1024;

    PartFile() = default;
    PartFile(PartFile&& other) noexcept;
    PartFile& operator=(PartFile&& other) noexcept;
    ~PartFile();

    bool is_open() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    // The bytes in the file: what it held when it was opened plus what was written since.
    std::uint64_t size() const { return size_; }
    // The size it had when it was opened; non-zero when a transfer resumes.
    std::uint64_t resumed_from() const { return resumed_from_; }

    // Appends all of `data`; a write that stops short is an error.
    Outcome Write(std::string_view data);
    // Cuts the file to `length` bytes (at most its size), where writing goes on.
    Outcome Truncate(std::uint64_t length);
    void Close();

private:
    friend class ReceiveTree;
    UniqueFd fd_;
    std::string name_;  // the offered path plus the suffix, for the texts
    std::uint64_t size_ = 0;
    std::uint64_t flushed_ = 0;  // written out towards the disk up to here
    std::uint64_t resumed_from_ = 0;
    std::shared_ptr<std::atomic<int>> open_count_;
};

// The folder the user chose for a transfer and everything the peer's offer puts below it.
// The folder itself may be reached through links; below it, no link is ever followed and
// every step goes from a descriptor of the folder above (no path is ever joined).
// One thread uses a tree at a time; its partial files may be closed on another.
class ReceiveTree {
public:
    static constexpr int kDefaultMaxOpenParts = 4;

    // Opens `root`, which must be a folder. Check ok() and error().
    explicit ReceiveTree(const std::string& root, int max_open_parts = kDefaultMaxOpenParts);
    ReceiveTree(const ReceiveTree&) = delete;
    ReceiveTree& operator=(const ReceiveTree&) = delete;

    bool ok() const { return root_.valid(); }
    const Outcome& error() const { return open_error_; }

    // Makes the folder `path` and the folders on its way, one at a time.
    Outcome MakeFolders(std::string_view path);
    // Opens "<path>.part", made with mode 0644 (less the umask) when missing; an existing one is
    // opened to resume, at its end. Makes the folders on the way.
    Outcome OpenPart(std::string_view path, PartFile& part);
    // Whether the final name `path` is taken (by anything, a link included).
    Outcome Exists(std::string_view path, bool& exists);
    // Moves "<path>.part" to `path` once its content is on the disk. A taken final name is
    // replaced only when `replace_allowed`; otherwise the outcome is EEXIST and the partial
    // file stays.
    Outcome Complete(std::string_view path, bool replace_allowed);

    // Partial files open now (each holds one descriptor).
    int open_parts() const { return open_count_->load(); }

private:
    Outcome WalkFolders(std::string_view path, bool make, bool whole, UniqueFd& folder,
                        std::string_view& leaf) const;

    UniqueFd root_;
    Outcome open_error_;
    int max_open_parts_;
    std::shared_ptr<std::atomic<int>> open_count_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace quorell::files
