#pragma once

// The sending side's offer: what the user picked (files and folders) walked into the list of
// entries the peer is offered, and that list cut into the messages that carry it. No Qt.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "session/message.h"

namespace quorell::files {

struct Offer {
    // In the order they are offered: each picked item in turn, a folder's contents depth first
    // in the byte order of their names.
    std::vector<session::OfferEntry> entries;
    // Where each entry is on this machine (same index), for reading the files.
    std::vector<std::string> local_paths;
    std::uint64_t total_bytes = 0;

    // What was left out, to tell the user.
    std::size_t skipped_symlinks = 0;
    std::size_t skipped_special = 0;     // devices, fifos, sockets
    std::size_t skipped_bad_names = 0;   // names that are not valid UTF-8 (and what they held)
    std::size_t skipped_long_paths = 0;  // paths beyond session::kMaxPathBytes
    std::size_t skipped_unreadable = 0;  // folders that could not be listed, items gone meanwhile

    std::size_t Skipped() const {
        return skipped_symlinks + skipped_special + skipped_bad_names + skipped_long_paths +
               skipped_unreadable;
    }
};

// Walks the picked paths. A picked item is taken as what it names (a picked symlink is followed
// once); inside folders no symlink is followed: each is skipped and counted, as are devices,
// fifos and sockets. Every path is relative, joined with '/', its first component the picked
// item's own name. A folder that ends up with nothing in it is offered as a folder entry.
// Nothing, with `error` set, when a picked item is missing or cannot be offered, when two picked
// items have the same name, when nothing is left to offer, or beyond max_entries entries (the
// walk stops there).
std::optional<Offer> BuildOffer(const std::vector<std::string>& picked, std::string& error,
                                std::size_t max_entries = session::kMaxOfferEntries);

// The messages of an offer, one at a time so a sender can wait for room between them:
// OfferBegin, OfferEntries (each message at most max_message_bytes, header included), OfferEnd.
// The offer must outlive it.
class OfferMessages {
public:
    OfferMessages(std::uint64_t offer_id, const Offer& offer,
                  std::size_t max_message_bytes = session::kMaxPayload);

    // The next message; nothing once OfferEnd has been given.
    std::optional<session::FileMessage> Next();

private:
    const std::uint64_t id_;
    const Offer& offer_;
    const std::size_t max_bytes_;
    std::size_t next_entry_ = 0;
    bool begun_ = false;
    bool ended_ = false;
};

// Every message of the offer at once.
std::vector<session::FileMessage> AllOfferMessages(std::uint64_t offer_id, const Offer& offer);

// Checks the peer's Accept against the offer: each wanted index names a file of it, and no more
// is said to be there already than the file holds. Empty when it is sound, else what is wrong.
std::string CheckAccept(const Offer& offer, const session::Accept& accept);

}  // namespace quorell::files
