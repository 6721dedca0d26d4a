#include "files/side_progress.h"

namespace quorell::files {

void SideProgress::Begin(std::uint64_t offer, Entries entries, bool active) {
    std::lock_guard lock(mu_);
    const std::size_t queued = p_.queued;
    p_ = TransferProgress{};
    p_.active = active;
    p_.offer = offer;
    p_.queued = queued;
    const std::size_t n = entries ? entries->size() : 0;
    entries_ = std::move(entries);
    state_.assign(n, kNotWanted);
    have_.assign(n, 0);
    current_ = -1;
}

void SideProgress::End(std::uint64_t offer) {
    std::lock_guard lock(mu_);
    if (p_.offer != offer) return;
    const std::size_t queued = p_.queued;
    p_ = TransferProgress{};
    p_.queued = queued;
    entries_.reset();
    state_.clear();
    have_.clear();
    current_ = -1;
}

void SideProgress::SetQueued(std::size_t queued) {
    std::lock_guard lock(mu_);
    p_.queued = queued;
}

void SideProgress::Wanted(const session::Accept& accept) {
    std::lock_guard lock(mu_);
    if (!Mine(accept.offer)) return;
    p_.active = true;
    for (const auto& w : accept.files) {
        if (w.index >= state_.size() || state_[w.index] != kNotWanted) continue;
        const session::OfferEntry& e = (*entries_)[w.index];
        if (e.kind != session::EntryKind::kFile) continue;
        state_[w.index] = kWanted;
        have_[w.index] = w.have;
        ++p_.files;
        p_.all_size += e.size;
    }
}

void SideProgress::MovingLocked(std::uint32_t index, std::uint64_t from) {
    current_ = index;
    const session::OfferEntry& e = (*entries_)[index];
    p_.current_path = e.path;
    p_.current_size = e.size;
    p_.current_bytes = from;
    p_.all_bytes += from;
    p_.resumed_bytes += from;
}

void SideProgress::Arrived(std::uint64_t offer, std::uint32_t index, const std::uint64_t* offset) {
    std::lock_guard lock(mu_);
    if (!Mine(offer) || index >= state_.size() || state_[index] != kWanted || index == current_)
        return;
    MovingLocked(index, offset ? *offset : have_[index]);
}

void SideProgress::Bytes(std::uint64_t offer, std::uint32_t index, std::uint64_t file_bytes,
                         std::uint64_t all_bytes, bool first_step_starts) {
    std::lock_guard lock(mu_);
    if (!Mine(offer) || index >= state_.size() || state_[index] != kWanted) return;
    if (index != current_) {
        if (!first_step_starts) return;
        MovingLocked(index, file_bytes);
    }
    p_.current_bytes = file_bytes;
    p_.all_bytes = all_bytes;
}

void SideProgress::Answered(std::uint64_t offer, std::uint32_t index) {
    std::lock_guard lock(mu_);
    if (!Mine(offer) || index >= state_.size() || state_[index] != kWanted) return;
    state_[index] = kAnswered;
    ++p_.files_done;
    if (index == current_) {
        p_.current_path.clear();
        p_.current_bytes = 0;
        p_.current_size = 0;
    }
}

TransferProgress SideProgress::Get() const {
    std::lock_guard lock(mu_);
    return p_;
}

}  // namespace quorell::files
