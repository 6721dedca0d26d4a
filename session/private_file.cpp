#include "session/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

namespace quorell {
namespace {

std::string Failure(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

std::string FolderOf(const std::string& path) {
    std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? "." : parent;
}

}  // namespace

std::string EnsurePrivateFolder(const std::string& folder) {
    std::error_code ec;
    std::filesystem::path p(folder);
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path(), ec);
    if (::mkdir(folder.c_str(), 0700) == 0) return {};
    if (errno != EEXIST) return Failure("cannot create folder", folder);
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0) return Failure("cannot examine", folder);
    if (!S_ISDIR(st.st_mode)) return "not a folder: " + folder;
    return {};
}

std::string WritePrivateFile(const std::string& path, const std::string& data) {
    std::random_device rd;
    std::string temp = path + ".tmp" + std::to_string(rd());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return Failure("cannot create", temp);
    std::string error;
    size_t done = 0;
    while (done < data.size() && error.empty()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            error = Failure("cannot write", temp);
        else
            done += static_cast<size_t>(n);
    }
    // The umask may have narrowed the mode further; the file must be exactly 0600.
    if (error.empty() && ::fchmod(fd, 0600) != 0) error = Failure("cannot set the mode of", temp);
    if (error.empty() && ::fsync(fd) != 0) error = Failure("cannot sync", temp);
    if (::close(fd) != 0 && error.empty()) error = Failure("cannot close", temp);
    if (error.empty() && ::rename(temp.c_str(), path.c_str()) != 0)
        error = Failure("cannot rename to", path);
    if (!error.empty()) {
        ::unlink(temp.c_str());
        return error;
    }
    int dir = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

bool ReadPrivateFile(const std::string& path, std::string& data, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = Failure("cannot open", path);
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        error = Failure("cannot examine", path);
        ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode) || (st.st_mode & 07777) != 0600) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = path + " must be a regular file of mode 0600, not " + mode;
        ::close(fd);
        return false;
    }
    data.clear();
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = Failure("cannot read", path);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        data.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

}  // namespace quorell
