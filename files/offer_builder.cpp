#include "files/offer_builder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "session/message.h"

namespace quorell::files {
namespace {

using session::EntryKind;
using session::OfferEntry;

struct Child {
    std::string name;
    mode_t mode = 0;
    std::uint64_t size = 0;
};

// The name a picked path is offered under: its last component, trailing slashes ignored; for
// ".", ".." and the like, that of the folder it resolves to.
std::string PickedName(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    std::string name = p.substr(p.find_last_of('/') + 1);
    if (name.empty() || name == "." || name == "..") {
        char* real = ::realpath(p.c_str(), nullptr);
        if (!real) return {};
        const std::string resolved(real);
        std::free(real);
        name = resolved.substr(resolved.find_last_of('/') + 1);
    }
    return name;
}

class Walker {
public:
    Walker(Offer& offer, std::size_t max_entries) : offer_(offer), max_entries_(max_entries) {}

    bool full() const { return full_; }

    void Add(OfferEntry entry, std::string local) {
        if (offer_.entries.size() >= max_entries_) {
            full_ = true;
            return;
        }
        offer_.total_bytes += entry.size;
        offer_.entries.push_back(std::move(entry));
        offer_.local_paths.push_back(std::move(local));
    }

    // Adds a regular file or walks a folder found at `local`, offered as `path`.
    // `picked`: the user's own choice, which may be reached through a symlink.
    void Item(const std::string& local, const std::string& path, const struct stat& st,
              bool picked = false) {
        if (path.size() > session::kMaxPathBytes) {
            ++offer_.skipped_long_paths;
        } else if (S_ISREG(st.st_mode)) {
            Add(OfferEntry{EntryKind::kFile, path, static_cast<std::uint64_t>(st.st_size)}, local);
        } else if (S_ISDIR(st.st_mode)) {
            Folder(local, path, picked);
        } else if (S_ISLNK(st.st_mode)) {
            ++offer_.skipped_symlinks;
        } else {
            ++offer_.skipped_special;
        }
    }

private:
    void Folder(const std::string& local, const std::string& path, bool picked) {
        std::vector<Child> children;
        if (!List(local, picked, children)) {
            ++offer_.skipped_unreadable;
            return;
        }
        const std::size_t before = offer_.entries.size();
        for (const Child& c : children) {
            if (full_) return;
            if (!session::IsWellFormedUtf8(c.name)) {
                ++offer_.skipped_bad_names;
                continue;
            }
            struct stat st {};
            st.st_mode = c.mode;
            st.st_size = static_cast<off_t>(c.size);
            Item(local + "/" + c.name, path + "/" + c.name, st);
        }
        // A folder with nothing offered in it still reaches the peer.
        if (offer_.entries.size() == before) Add(OfferEntry{EntryKind::kFolder, path, 0}, local);
    }

    // The folder's entries with their kinds and sizes, as they are (symlinks not followed),
    // sorted by name. The folder is closed before its subfolders are walked, so a deep tree
    // holds one descriptor at a time.
    static bool List(const std::string& local, bool picked, std::vector<Child>& children) {
        const int fd =
            ::open(local.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (picked ? 0 : O_NOFOLLOW));
        if (fd < 0) return false;
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return false;
        }
        bool ok = true;
        for (;;) {
            errno = 0;
            const dirent* d = ::readdir(dir);
            if (!d) {
                ok = errno == 0;
                break;
            }
            if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
            struct stat st {};
            // Gone meanwhile: as if it had never been there.
            if (::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            children.push_back(
                Child{d->d_name, st.st_mode, static_cast<std::uint64_t>(st.st_size)});
        }
        ::closedir(dir);
        std::sort(children.begin(), children.end(),
                  [](const Child& a, const Child& b) { return a.name < b.name; });
        return ok;
    }

    Offer& offer_;
    const std::size_t max_entries_;
    bool full_ = false;
};

}  // namespace

std::optional<Offer> BuildOffer(const std::vector<std::string>& picked, std::string& error,
                                std::size_t max_entries) {
    error.clear();
    max_entries = std::min<std::size_t>(max_entries, session::kMaxOfferEntries);
    Offer offer;
    Walker walker(offer, max_entries);
    std::set<std::string> names;
    for (std::string local : picked) {
        while (local.size() > 1 && local.back() == '/') local.pop_back();
        struct stat st {};
        if (::stat(local.c_str(), &st) != 0) {
            error = "cannot offer " + local + ": " + std::strerror(errno);
            return std::nullopt;
        }
        const std::string name = PickedName(local);
        if (name.empty() || name == "/") {
            error = "cannot offer " + local + ": it has no name of its own";
            return std::nullopt;
        }
        if (!session::IsWellFormedUtf8(name)) {
            ++offer.skipped_bad_names;
            continue;
        }
        if (!names.insert(name).second) {
            error = "two of the chosen items are called " + name + "; only one can be offered";
            return std::nullopt;
        }
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
            error = "cannot offer " + local + ": it is neither a file nor a folder";
            return std::nullopt;
        }
        walker.Item(local, name, st, true);
        if (walker.full()) {
            error = "more than " + std::to_string(max_entries) +
                    " files and folders were chosen; at most that many can be offered at once";
            return std::nullopt;
        }
    }
    if (offer.entries.empty()) {
        error = "nothing to offer";
        if (offer.Skipped() > 0) error += "; " + std::to_string(offer.Skipped()) + " left out";
        return std::nullopt;
    }
    return offer;
}

OfferMessages::OfferMessages(std::uint64_t offer_id, const Offer& offer,
                             std::size_t max_message_bytes)
    : id_(offer_id), offer_(offer), max_bytes_(max_message_bytes) {}

std::optional<session::FileMessage> OfferMessages::Next() {
    if (!begun_) {
        begun_ = true;
        return session::OfferBegin{id_, static_cast<std::uint32_t>(offer_.entries.size()),
                                   offer_.total_bytes};
    }
    if (next_entry_ < offer_.entries.size()) {
        session::OfferEntries m{id_, static_cast<std::uint32_t>(next_entry_), {}};
        std::size_t bytes = session::kOfferEntriesOverhead;
        // At least one entry a message: the largest one fits well within any sane limit.
        while (next_entry_ < offer_.entries.size()) {
            const OfferEntry& e = offer_.entries[next_entry_];
            const std::size_t more = session::EncodedEntrySize(e);
            if (!m.entries.empty() && bytes + more > max_bytes_) break;
            bytes += more;
            m.entries.push_back(e);
            ++next_entry_;
        }
        return m;
    }
    if (!ended_) {
        ended_ = true;
        return session::OfferEnd{id_};
    }
    return std::nullopt;
}

std::vector<session::FileMessage> AllOfferMessages(std::uint64_t offer_id, const Offer& offer) {
    std::vector<session::FileMessage> out;
    OfferMessages messages(offer_id, offer);
    while (auto m = messages.Next()) out.push_back(std::move(*m));
    return out;
}

std::string CheckAccept(const Offer& offer, const session::Accept& accept) {
    for (const auto& f : accept.files) {
        if (f.index >= offer.entries.size())
            return "file " + std::to_string(f.index) + " is not offered";
        const OfferEntry& e = offer.entries[f.index];
        if (e.kind != EntryKind::kFile) return e.path + " is a folder";
        if (f.have > e.size)
            return "more of " + e.path + " is said to be there already than it holds";
    }
    return {};
}

}  // namespace quorell::files
