#pragma once

// The file-transfer messages (types 0x0101..0x0109, capability "file/1"): the sender's offer of
// files and folders, the receiver's answer, the data and the verdict on each file. Pure: no
// files, no sockets. docs/session-protocol.md ("File transfer") is the reference for every byte.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "session/variant_part.h"

namespace quorell::session {

inline constexpr char kFileCapability[] = "file/1";

inline constexpr std::uint32_t kMaxOfferEntries = 100000;
inline constexpr std::size_t kMaxPathBytes = 4096;
inline constexpr std::size_t kMaxDataBytes = 256 * 1024;
inline constexpr std::size_t kMaxFileTextBytes = 1024;

enum class FileType : std::uint16_t {
    kOfferBegin = 0x0101,
    kOfferEntries = 0x0102,
    kOfferEnd = 0x0103,
    kAccept = 0x0104,
    kDecline = 0x0105,
    kData = 0x0106,
    kFileDone = 0x0107,
    kFileResult = 0x0108,
    kCancel = 0x0109,
};

// SHA-256 of a file or of its first bytes.
using Sha256 = std::array<std::uint8_t, 32>;

enum class EntryKind : std::uint8_t { kFile = 1, kFolder = 2 };

// One file or folder of an offer: its path relative to the receiver's chosen place, components
// separated by '/', the top one being the name of what the user picked.
struct OfferEntry {
    EntryKind kind = EntryKind::kFile;
    std::string path;
    std::uint64_t size = 0;  // files only; 0 for folders
    bool operator==(const OfferEntry&) const = default;
};

// An offer starts: how many entries follow in OfferEntries, and the bytes of all its files.
struct OfferBegin {
    std::uint64_t offer = 0;
    std::uint32_t entry_count = 0;  // 1 to kMaxOfferEntries
    std::uint64_t total_bytes = 0;
    bool operator==(const OfferBegin&) const = default;
};
// The next entries of the offer, the first of them being number first_index (counted from 0).
struct OfferEntries {
    std::uint64_t offer = 0;
    std::uint32_t first_index = 0;
    std::vector<OfferEntry> entries;
    bool operator==(const OfferEntries&) const = default;
};
// Every entry has been sent.
struct OfferEnd {
    std::uint64_t offer = 0;
    bool operator==(const OfferEnd&) const = default;
};

// A file the receiver wants: the bytes of it it has already (0: none) and SHA-256 of them.
struct WantedFile {
    std::uint32_t index = 0;
    std::uint64_t have = 0;
    Sha256 prefix{};  // sent only when have is not 0
    bool operator==(const WantedFile&) const = default;
};
// The receiver's answer, possibly in several messages (indices increasing within each); `last`
// on the final one. Files it never names are not wanted.
struct Accept {
    std::uint64_t offer = 0;
    bool last = true;
    std::vector<WantedFile> files;
    bool operator==(const Accept&) const = default;
};

enum class DeclineReason : std::uint16_t {
    kUserDeclined = 1,
    kBusy = 2,      // another offer is in progress
    kNoSpace = 3,   // not enough room where the files would go
    kBadOffer = 4,  // the offer broke its own rules (indices, counts, totals, names)
    kTooLarge = 5,  // more entries or bytes than the receiver takes
};
struct Decline {
    std::uint64_t offer = 0;
    DeclineReason reason = DeclineReason::kUserDeclined;  // unknown codes are kept as they came
    std::string text;
    bool operator==(const Decline&) const = default;
};

// Bytes of one file from offset on, 1 to kMaxDataBytes of them.
struct Data {
    std::uint64_t offer = 0;
    std::uint32_t index = 0;
    std::uint64_t offset = 0;
    std::string bytes;
    bool operator==(const Data&) const = default;
};
// The sender has sent the whole file; SHA-256 of all of it (the resumed prefix included).
struct FileDone {
    std::uint64_t offer = 0;
    std::uint32_t index = 0;
    Sha256 hash{};
    bool operator==(const FileDone&) const = default;
};

enum class FileStatus : std::uint8_t {
    kOk = 1,
    kHashMismatch = 2,
    kWriteFailed = 3,
    kRefusedName = 4,
    kCancelled = 5,
};
// The receiver's verdict on one file.
struct FileResult {
    std::uint64_t offer = 0;
    std::uint32_t index = 0;
    FileStatus status = FileStatus::kOk;
    std::string text;
    bool operator==(const FileResult&) const = default;
};
// Either side ends the whole offer.
struct Cancel {
    std::uint64_t offer = 0;
    std::string text;
    bool operator==(const Cancel&) const = default;
};

// In the order of their types, from 0x0101 on.
using FileMessage = std::variant<OfferBegin, OfferEntries, OfferEnd, Accept, Decline, Data,
                                 FileDone, FileResult, Cancel>;

template <class T>
concept FileMessagePart = IsAlternativeOf<T, FileMessage>::value;

// The whole message, header included; empty when a field is out of its range (see each type).
std::string Encode(const FileMessage& message);
// The same into `out`, whose memory is reused; false (and `out` empty) as Encode gives empty.
bool EncodeTo(const FileMessage& message, std::string& out);
template <FileMessagePart T>
std::string Encode(const T& message) {
    return Encode(FileMessage{message});
}

// The bytes an encoded entry takes in OfferEntries, and those of the message around its entries
// (header, offer, first index, count), for filling messages.
std::size_t EncodedEntrySize(const OfferEntry& entry);
inline constexpr std::size_t kOfferEntriesOverhead = 8 + 8 + 4 + 4;
// What a received file message costs to hold until it is handled.
std::size_t HeldSize(const FileMessage& message);

}  // namespace quorell::session
