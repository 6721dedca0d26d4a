// The receiving half of IncomingTransfer: the Accept, then each file's data written into its
// partial file and the file saved once its hash matches.

#include <sys/stat.h>

#include "files/file_hash.h"
#include "files/incoming_transfer.h"

namespace quorell::files {

using session::FileStatus;

namespace {

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

std::string Cut(std::string text) {
    if (text.size() > session::kMaxFileTextBytes) text.resize(session::kMaxFileTextBytes);
    return text;
}

// A wanted file takes at most 44 bytes: this many stay well under the largest message.
constexpr std::size_t kWantedPerAccept = 16384;

}  // namespace

bool IncomingTransfer::Accept(const std::string& folder, std::string& error) {
    {
        std::lock_guard lock(mu_);
        if (state_ != State::kOffered) {
            error = "the offer is not waiting for an answer";
            return false;
        }
        state_ = State::kAccepting;  // the entries stay as they are from here on
    }
    auto tree = std::make_unique<ReceiveTree>(folder);
    if (!tree->ok()) {
        error = tree->error().text;
        std::lock_guard lock(mu_);
        if (state_ == State::kAccepting) state_ = State::kOffered;
        return false;
    }

    std::vector<ReceivedFile> files;
    std::vector<std::int32_t> file_of(entries_.size(), -1);
    std::vector<Slot> slots;
    std::vector<std::int32_t> slot_of(entries_.size(), -1);
    std::vector<std::string> folder_errors;
    for (std::uint32_t i = 0; i < entries_.size(); ++i) {
        const session::OfferEntry& e = entries_[i];
        if (e.kind == session::EntryKind::kFolder) {
            if (Outcome made = tree->MakeFolders(e.path); !made.ok())
                folder_errors.push_back(made.text);
            continue;
        }
        file_of[i] = static_cast<std::int32_t>(files.size());
        ReceivedFile& f = files.emplace_back();
        f.index = i;
        f.path = e.path;
        bool exists = false;
        if (Outcome looked = tree->Exists(e.path, exists); !looked.ok()) {
            f.status = FileStatus::kRefusedName;
            f.text = looked.text;
            continue;
        }
        bool replace = false;
        if (exists) {
            replace = callbacks_.replace && callbacks_.replace(e.path);
            if (!replace) {
                f.status = FileStatus::kCancelled;
                f.text = Quoted(e.path) + " is there already; not replaced";
                continue;
            }
        }
        // What an earlier offer left of it is offered back, with its hash, to resume.
        PartFile part;
        if (Outcome opened = tree->OpenPart(e.path, part); !opened.ok()) {
            f.status = FileStatus::kWriteFailed;
            f.text = opened.text;
            continue;
        }
        std::uint64_t have = part.size();
        Sha256Digest prefix{};
        std::shared_ptr<Sha256> hash;
        struct stat st {};
        if (have > 0 && have <= e.size) {
            hash = std::make_shared<Sha256>();
            if (!HashPrefix(part.fd(), have, *hash).empty() || !hash->Peek(prefix) ||
                ::fstat(part.fd(), &st) != 0)
                hash.reset();
        }
        if (!hash) {
            have = 0;  // not a beginning of this file: it starts over
            prefix = {};
        }
        part.Close();
        f.wanted = true;
        slot_of[i] = static_cast<std::int32_t>(slots.size());
        slots.push_back(Slot{i, file_of[i], e.size, have, prefix, replace, false, std::move(hash),
                             st.st_mtim.tv_sec, st.st_mtim.tv_nsec});
    }

    Actions actions;
    {
        std::lock_guard lock(mu_);
        if (state_ != State::kAccepting) {
            error = "the offer ended meanwhile";
            return false;
        }
        folder_ = folder;
        while (!folder_.empty() && folder_.back() == '/') folder_.pop_back();
        tree_ = std::move(tree);
        files_ = std::move(files);
        file_of_entry_ = std::move(file_of);
        slot_of_entry_ = std::move(slot_of);
        slots_ = std::move(slots);
        folder_errors_ = std::move(folder_errors);
        unanswered_ = slots_.size();
        state_ = State::kReceiving;
        for (std::size_t first = 0; first < slots_.size() || first == 0;
             first += kWantedPerAccept) {
            session::Accept accept{id_, false, {}};
            for (std::size_t k = first; k < slots_.size() && k < first + kWantedPerAccept; ++k) {
                const Slot& s = slots_[k];
                accept.files.push_back(session::WantedFile{s.index, s.have, s.prefix});
            }
            accept.last = first + kWantedPerAccept >= slots_.size();
            actions.send.push_back(std::move(accept));
        }
        if (slots_.empty()) EndLocked(TransferEnd::kFinished, "nothing to receive", actions);
    }
    Run(actions);
    return true;
}

}  // namespace quorell::files

namespace quorell::files {

IncomingTransfer::Slot* IncomingTransfer::Wanted(std::uint32_t index, const char* what,
                                                 Actions& actions) {
    if (index >= slot_of_entry_.size() || slot_of_entry_[index] < 0) {
        Fault(
            std::string(what) + " for entry " + std::to_string(index) + ", which was not accepted",
            actions);
        return nullptr;
    }
    return &slots_[static_cast<std::size_t>(slot_of_entry_[index])];
}

void IncomingTransfer::Answer(Slot& slot, FileStatus status, std::string text, Actions& actions) {
    ReceivedFile& f = files_[static_cast<std::size_t>(slot.file)];
    if (current_ >= 0 && &slots_[static_cast<std::size_t>(current_)] == &slot) {
        CloseFile();
        current_ = -1;
    }
    slot.answered = true;
    f.answered = true;
    f.status = status;
    f.text = text;
    actions.send.push_back(session::FileResult{id_, slot.index, status, Cut(std::move(text))});
    if (--unanswered_ == 0) EndLocked(TransferEnd::kFinished, "", actions);
}

bool IncomingTransfer::ResumeHash(Slot& slot, std::string& error) {
    hash_.Reset();
    if (slot.have == 0) return true;
    // The hash taken at the Accept goes on, unless the partial file was changed since: then
    // its beginning is read again, and a change shows as a mismatch at the end.
    struct stat st {};
    const bool same = slot.prefix_hash && ::fstat(part_.fd(), &st) == 0 &&
                      st.st_mtim.tv_sec == slot.changed_sec &&
                      st.st_mtim.tv_nsec == slot.changed_nsec;
    if (same) {
        hash_ = std::move(*slot.prefix_hash);
    } else if (error = HashPrefix(part_.fd(), slot.have, hash_); !error.empty()) {
        return false;
    }
    slot.prefix_hash.reset();
    return true;
}

void IncomingTransfer::CloseFile() {
    part_.Close();
    if (sink_) sink_->Abort();
}

// The part file, opened and checked, goes to the writing thread with the hash of what it holds.
void IncomingTransfer::HandOver() {
    queued_ = part_.size();
    if (!sink_) sink_ = std::make_unique<FileSink>();
    sink_->Begin(std::move(part_), std::move(hash_));
    hash_.Reset();
}

void IncomingTransfer::OnData(const session::Data& data, Actions& actions) {
    Slot* slot = Wanted(data.index, "data", actions);
    if (!slot || slot->answered) return;  // answered early: what is still on the way is dropped
    const auto here = static_cast<std::int32_t>(slot - slots_.data());
    ReceivedFile& f = files_[static_cast<std::size_t>(slot->file)];
    if (current_ != here) {
        if (current_ >= 0)
            return Fault("data of " + Quoted(f.path) + " before the file before it was finished",
                         actions);
        if (Outcome opened = tree_->OpenPart(f.path, part_); !opened.ok())
            return Answer(*slot, FileStatus::kWriteFailed, opened.text, actions);
        current_ = here;
        if (data.offset == 0) {
            // The sender starts over (nothing was here, or what was did not match).
            if (Outcome cut = part_.Truncate(0); !cut.ok())
                return Answer(*slot, FileStatus::kWriteFailed, cut.text, actions);
            hash_.Reset();
            slot->prefix_hash.reset();
        } else if (data.offset != slot->have || part_.size() != slot->have) {
            return Fault("data of " + Quoted(f.path) + " starts at byte " +
                             std::to_string(data.offset) + " where " +
                             std::to_string(part_.size()) + " are here",
                         actions);
        } else if (std::string error; !ResumeHash(*slot, error)) {
            return Answer(*slot, FileStatus::kWriteFailed, error, actions);
        }
        f.from = data.offset;
        f.resumed = data.offset > 0;
        all_bytes_ += f.from;
        HandOver();
    }
    if (data.offset != queued_)
        return Fault(std::string(data.offset < queued_ ? "overlapping" : "missing") + " data of " +
                         Quoted(f.path) + " at byte " + std::to_string(data.offset),
                     actions);
    if (data.bytes.size() > slot->size - queued_)
        return Fault("more bytes of " + Quoted(f.path) + " than were offered", actions);
    // Written and hashed on the sink's thread; a write that failed shows here or at the end.
    if (Outcome failed; !sink_->Write(data.bytes, failed))
        return Answer(*slot, FileStatus::kWriteFailed, failed.text, actions);
    queued_ += data.bytes.size();
    f.received_bytes += data.bytes.size();
    all_bytes_ += data.bytes.size();
    actions.progress.emplace_back(slot->index, queued_, all_bytes_);
}

void IncomingTransfer::OnFileDone(const session::FileDone& done, Actions& actions) {
    Slot* slot = Wanted(done.index, "the end of a file", actions);
    if (!slot || slot->answered) return;
    const auto here = static_cast<std::int32_t>(slot - slots_.data());
    ReceivedFile& f = files_[static_cast<std::size_t>(slot->file)];
    if (current_ != here) {
        if (current_ >= 0)
            return Fault("the end of " + Quoted(f.path) + " before the file before it was finished",
                         actions);
        // No data: a file of no bytes, or one that was here whole.
        if (Outcome opened = tree_->OpenPart(f.path, part_); !opened.ok())
            return Answer(*slot, FileStatus::kWriteFailed, opened.text, actions);
        current_ = here;
        f.from = part_.size();
        f.resumed = f.from > 0;
        all_bytes_ += f.from;
        if (part_.size() != slot->have)
            return Fault("the end of " + Quoted(f.path) + " before any of its data", actions);
        if (std::string error; !ResumeHash(*slot, error))
            return Answer(*slot, FileStatus::kWriteFailed, error, actions);
        HandOver();
    }
    if (queued_ != slot->size)
        return Fault("the end of " + Quoted(f.path) + " after " + std::to_string(queued_) +
                         " of its " + std::to_string(slot->size) + " bytes",
                     actions);
    // Hashed as it was written: what the file holds, the resumed beginning included.
    Sha256Digest digest{};
    if (Outcome written = sink_->Finish(digest); !written.ok())
        return Answer(*slot, FileStatus::kWriteFailed,
                      written.text + "; what came is kept as a partial file", actions);
    current_ = -1;
    if (digest != done.hash)
        return Answer(*slot, FileStatus::kHashMismatch,
                      "the SHA-256 of " + Quoted(f.path) +
                          " does not match the sender's; what came is kept as a partial file",
                      actions);
    if (Outcome saved = tree_->Complete(f.path, slot->replace); !saved.ok())
        return Answer(*slot, FileStatus::kWriteFailed, saved.text, actions);
    f.saved_path = folder_ + "/" + f.path;
    Answer(*slot, FileStatus::kOk, "", actions);
}

}  // namespace quorell::files
