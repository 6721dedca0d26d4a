#include "files/receive_tree.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>
#include <utility>
#include <vector>

#include "files/offered_path.h"

namespace quorell::files {
namespace {

std::string ErrnoText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

Outcome Fail(int error, std::string text) {
    return Outcome{error, std::move(text)};
}

Outcome FailErrno(int error, const std::string& what) {
    return Fail(error, what + ": " + ErrnoText(error));
}

std::string Quoted(std::string_view path) {
    return "\"" + std::string(path) + "\"";
}

// The path up to and including `name`, which points into it.
std::string_view UpTo(std::string_view path, std::string_view name) {
    return path.substr(0, static_cast<std::size_t>(name.data() + name.size() - path.data()));
}

// Tells why `name` in `folder` could not be opened as what it should be.
Outcome Refusal(int folder, std::string_view name, std::string_view shown, int error,
                bool want_folder) {
    struct stat st {};
    const std::string nul_terminated(name);
    if (::fstatat(folder, nul_terminated.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode))
            return Fail(ELOOP, Quoted(shown) + " is a link; links are not followed");
        if (want_folder && !S_ISDIR(st.st_mode))
            return Fail(ENOTDIR, Quoted(shown) + " is not a folder");
        if (!want_folder && !S_ISREG(st.st_mode))
            return Fail(EINVAL, Quoted(shown) + " is not a regular file");
    }
    return FailErrno(error, "opening " + Quoted(shown));
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Reset();
        fd_ = other.Release();
    }
    return *this;
}

int UniqueFd::Release() {
    return std::exchange(fd_, -1);
}

void UniqueFd::Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

PartFile::PartFile(PartFile&& other) noexcept
    : fd_(std::move(other.fd_)),
      name_(std::move(other.name_)),
      size_(other.size_),
      flushed_(other.flushed_),
      resumed_from_(other.resumed_from_),
      open_count_(std::move(other.open_count_)) {}

PartFile& PartFile::operator=(PartFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::move(other.fd_);
        name_ = std::move(other.name_);
        size_ = other.size_;
        flushed_ = other.flushed_;
        resumed_from_ = other.resumed_from_;
        open_count_ = std::move(other.open_count_);
    }
    return *this;
}

PartFile::~PartFile() {
    Close();
}

void PartFile::Close() {
    if (!fd_.valid()) return;
    fd_.Reset();
    if (open_count_) --*open_count_;
    open_count_.reset();
}

Outcome PartFile::Write(std::string_view data) {
    if (!fd_.valid()) return Fail(EBADF, "writing a partial file that is not open");
    while (!data.empty()) {
        const ssize_t n = ::pwrite(fd_.get(), data.data(), data.size(), static_cast<off_t>(size_));
        if (n < 0) {
            if (errno == EINTR) continue;
            return FailErrno(errno, "writing " + Quoted(name_));
        }
        // A short write leaves the rest for another try, which then says what stopped it.
        if (n == 0) return Fail(EIO, "writing " + Quoted(name_) + ": nothing was written");
        size_ += static_cast<std::uint64_t>(n);
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    // What was written heads for the disk now, a few MiB at a time, so that saving the file
    // at its end (which waits until all of it is there) waits for little. Errors show then.
    if (size_ - flushed_ >= kFlushBytes || size_ < flushed_) {
        if (size_ > flushed_)
            ::sync_file_range(fd_.get(), static_cast<off_t>(flushed_),
                              static_cast<off_t>(size_ - flushed_), SYNC_FILE_RANGE_WRITE);
        flushed_ = size_;
    }
    return {};
}

Outcome PartFile::Truncate(std::uint64_t length) {
    if (!fd_.valid()) return Fail(EBADF, "cutting a partial file that is not open");
    if (length > size_) return Fail(EINVAL, "cutting " + Quoted(name_) + " beyond its size");
    if (::ftruncate(fd_.get(), static_cast<off_t>(length)) != 0)
        return FailErrno(errno, "cutting " + Quoted(name_));
    size_ = length;
    flushed_ = std::min(flushed_, length);
    return {};
}

ReceiveTree::ReceiveTree(const std::string& root, int max_open_parts)
    : max_open_parts_(max_open_parts) {
    // The chosen folder may be reached through links: resolve them, then open the folder
    // itself without following one more.
    char* resolved = ::realpath(root.c_str(), nullptr);
    if (!resolved) {
        open_error_ = FailErrno(errno, "opening the folder " + Quoted(root));
        return;
    }
    const int fd = ::open(resolved, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    std::free(resolved);
    if (fd < 0) {
        open_error_ = FailErrno(error, "opening the folder " + Quoted(root));
        return;
    }
    root_ = UniqueFd(fd);
}

Outcome ReceiveTree::WalkFolders(std::string_view path, bool make, bool whole, UniqueFd& folder,
                                 std::string_view& leaf) const {
    if (!root_.valid()) return open_error_;
    const PathFault fault = CheckOfferedPath(path);
    if (fault != PathFault::kNone)
        return Fail(EINVAL, "refused path " + Quoted(path) + ": " + Describe(fault));
    const std::vector<std::string_view> names = SplitPath(path);
    const std::size_t folders = whole ? names.size() : names.size() - 1;
    leaf = names.back();

    UniqueFd here(::fcntl(root_.get(), F_DUPFD_CLOEXEC, 0));
    if (!here.valid()) return FailErrno(errno, "opening the chosen folder");
    for (std::size_t i = 0; i < folders; ++i) {
        const std::string name(names[i]);
        const std::string_view shown = UpTo(path, names[i]);
        if (make && ::mkdirat(here.get(), name.c_str(), 0755) != 0 && errno != EEXIST)
            return FailErrno(errno, "making the folder " + Quoted(shown));
        UniqueFd next(
            ::openat(here.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            const int error = errno;
            if (error == ENOENT) return Fail(ENOENT, Quoted(shown) + " does not exist");
            return Refusal(here.get(), names[i], shown, error, true);
        }
        here = std::move(next);
    }
    folder = std::move(here);
    return {};
}

Outcome ReceiveTree::MakeFolders(std::string_view path) {
    UniqueFd folder;
    std::string_view leaf;
    return WalkFolders(path, true, true, folder, leaf);
}

Outcome ReceiveTree::OpenPart(std::string_view path, PartFile& part) {
    part.Close();
    if (open_count_->load() >= max_open_parts_)
        return Fail(EMFILE, "too many partial files open at once");
    UniqueFd folder;
    std::string_view leaf;
    if (Outcome walked = WalkFolders(path, true, false, folder, leaf); !walked.ok()) return walked;
    const std::string name = std::string(leaf) + std::string(kPartSuffix);
    const std::string shown = std::string(path) + std::string(kPartSuffix);

    // Non-blocking so that a FIFO or a device in its place cannot hold us up before it is
    // refused.
    UniqueFd fd(::openat(folder.get(), name.c_str(),
                         O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644));
    if (!fd.valid()) return Refusal(folder.get(), name, shown, errno, false);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return FailErrno(errno, "examining " + Quoted(shown));
    if (!S_ISREG(st.st_mode)) return Fail(EINVAL, Quoted(shown) + " is not a regular file");
    // Another name for the same file would take our writes somewhere else as well.
    if (st.st_nlink != 1) return Fail(EMLINK, Quoted(shown) + " has other names (hard links)");
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return FailErrno(errno, "opening " + Quoted(shown));

    part.fd_ = std::move(fd);
    part.name_ = shown;
    part.size_ = static_cast<std::uint64_t>(st.st_size);
    part.resumed_from_ = part.size_;
    part.flushed_ = part.size_;
    part.open_count_ = open_count_;
    ++*open_count_;
    return {};
}

Outcome ReceiveTree::Exists(std::string_view path, bool& exists) {
    exists = false;
    UniqueFd folder;
    std::string_view leaf;
    Outcome walked = WalkFolders(path, false, false, folder, leaf);
    if (walked.error == ENOENT) return {};
    if (!walked.ok()) return walked;
    struct stat st {};
    const std::string name(leaf);
    if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        exists = true;
        return {};
    }
    if (errno == ENOENT) return {};
    return FailErrno(errno, "examining " + Quoted(path));
}

Outcome ReceiveTree::Complete(std::string_view path, bool replace_allowed) {
    UniqueFd folder;
    std::string_view leaf;
    if (Outcome walked = WalkFolders(path, false, false, folder, leaf); !walked.ok()) return walked;
    const std::string final_name(leaf);
    const std::string part_name = final_name + std::string(kPartSuffix);
    const std::string shown = std::string(path) + std::string(kPartSuffix);

    // The content reaches the disk before the name does, so a crash never leaves a final
    // name over a file with holes.
    {
        UniqueFd fd(::openat(folder.get(), part_name.c_str(),
                             O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        if (!fd.valid()) return Refusal(folder.get(), part_name, shown, errno, false);
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) return FailErrno(errno, "examining " + Quoted(shown));
        if (!S_ISREG(st.st_mode)) return Fail(EINVAL, Quoted(shown) + " is not a regular file");
        if (::fsync(fd.get()) != 0) return FailErrno(errno, "saving " + Quoted(shown));
    }

    int result;
    if (replace_allowed) {
        result = ::renameat(folder.get(), part_name.c_str(), folder.get(), final_name.c_str());
    } else {
        result = ::renameat2(folder.get(), part_name.c_str(), folder.get(), final_name.c_str(),
                             RENAME_NOREPLACE);
        if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without the flag: a new link fails just as well on a taken name.
            result = ::linkat(folder.get(), part_name.c_str(), folder.get(), final_name.c_str(), 0);
            if (result == 0) ::unlinkat(folder.get(), part_name.c_str(), 0);
        }
    }
    if (result != 0) {
        const int error = errno;
        if (error == EEXIST)
            return Fail(EEXIST, Quoted(path) + " already exists and is not replaced without leave");
        return FailErrno(error, "renaming " + Quoted(shown) + " to " + Quoted(path));
    }
    ::fsync(folder.get());
    return {};
}

}  // namespace quorell::files
