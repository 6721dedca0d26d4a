#include "session/file_messages.h"

#include "session/file_message_parse.h"
#include "session/message.h"
#include "session/wire_fields.h"

namespace quorell::session {
namespace {

using namespace wire;

bool IndexFits(std::uint32_t index) {
    return index < kMaxOfferEntries;
}
bool PathFits(const std::string& path) {
    return !path.empty() && TextFits(path, kMaxPathBytes);
}
bool IsFileStatus(std::uint8_t status) {
    return status >= static_cast<std::uint8_t>(FileStatus::kOk) &&
           status <= static_cast<std::uint8_t>(FileStatus::kCancelled);
}

// The payload of one message; false when a field is not one this version may send.
struct FileWriter {
    std::string& out;

    bool operator()(const OfferBegin& m) {
        if (m.entry_count == 0 || m.entry_count > kMaxOfferEntries) return false;
        PutU64(out, m.offer);
        PutU32(out, m.entry_count);
        PutU64(out, m.total_bytes);
        return true;
    }
    bool operator()(const OfferEntries& m) {
        if (m.entries.empty() || std::uint64_t{m.first_index} + m.entries.size() > kMaxOfferEntries)
            return false;
        PutU64(out, m.offer);
        PutU32(out, m.first_index);
        PutU32(out, static_cast<std::uint32_t>(m.entries.size()));
        for (const auto& e : m.entries) {
            const bool file = e.kind == EntryKind::kFile;
            if ((!file && (e.kind != EntryKind::kFolder || e.size != 0)) || !PathFits(e.path))
                return false;
            PutU8(out, static_cast<std::uint8_t>(e.kind));
            PutText(out, e.path);
            if (file) PutU64(out, e.size);
        }
        return true;
    }
    bool operator()(const OfferEnd& m) {
        PutU64(out, m.offer);
        return true;
    }
    bool operator()(const Accept& m) {
        if (m.files.size() > kMaxOfferEntries) return false;
        PutU64(out, m.offer);
        PutU8(out, m.last ? 1 : 0);
        PutU32(out, static_cast<std::uint32_t>(m.files.size()));
        for (std::size_t i = 0; i < m.files.size(); ++i) {
            const WantedFile& f = m.files[i];
            if (!IndexFits(f.index) || (i > 0 && f.index <= m.files[i - 1].index)) return false;
            PutU32(out, f.index);
            PutU64(out, f.have);
            if (f.have != 0) PutDigest(out, f.prefix);
        }
        return true;
    }
    bool operator()(const Decline& m) {
        if (!TextFits(m.text, kMaxFileTextBytes)) return false;
        PutU64(out, m.offer);
        PutU16(out, static_cast<std::uint16_t>(m.reason));
        PutText(out, m.text);
        return true;
    }
    bool operator()(const Data& m) {
        if (!IndexFits(m.index) || m.bytes.empty() || m.bytes.size() > kMaxDataBytes ||
            m.offset > UINT64_MAX - m.bytes.size())
            return false;
        PutU64(out, m.offer);
        PutU32(out, m.index);
        PutU64(out, m.offset);
        PutText(out, m.bytes);  // a count and raw bytes, not UTF-8
        return true;
    }
    bool operator()(const FileDone& m) {
        if (!IndexFits(m.index)) return false;
        PutU64(out, m.offer);
        PutU32(out, m.index);
        PutDigest(out, m.hash);
        return true;
    }
    bool operator()(const FileResult& m) {
        if (!IndexFits(m.index) || !IsFileStatus(static_cast<std::uint8_t>(m.status)) ||
            !TextFits(m.text, kMaxFileTextBytes))
            return false;
        PutU64(out, m.offer);
        PutU32(out, m.index);
        PutU8(out, static_cast<std::uint8_t>(m.status));
        PutText(out, m.text);
        return true;
    }
    bool operator()(const Cancel& m) {
        if (!TextFits(m.text, kMaxFileTextBytes)) return false;
        PutU64(out, m.offer);
        PutText(out, m.text);
        return true;
    }
};

std::uint32_t Index(PayloadParser& p) {
    const std::uint32_t index = p.U32();
    if (p.ok() && !IndexFits(index)) p.Fail(ReadError::kMalformed);
    return index;
}

OfferEntries ParseEntries(PayloadParser& p) {
    OfferEntries m;
    m.offer = p.U64();
    m.first_index = p.U32();
    const std::uint32_t count = p.U32();
    if (p.ok() && (count == 0 || std::uint64_t{m.first_index} + count > kMaxOfferEntries))
        p.Fail(ReadError::kMalformed);
    // Grows with the entries actually there: a count alone reserves nothing.
    for (std::uint32_t i = 0; i < count && p.ok(); ++i) {
        OfferEntry e;
        const std::uint8_t kind = p.U8();
        if (p.ok() && kind != static_cast<std::uint8_t>(EntryKind::kFile) &&
            kind != static_cast<std::uint8_t>(EntryKind::kFolder))
            p.Fail(ReadError::kMalformed);
        e.kind = static_cast<EntryKind>(kind);
        e.path = p.Text(kMaxPathBytes);
        if (p.ok() && e.path.empty()) p.Fail(ReadError::kMalformed);
        if (e.kind == EntryKind::kFile) e.size = p.U64();
        m.entries.push_back(std::move(e));
    }
    return m;
}

Accept ParseAccept(PayloadParser& p) {
    Accept m;
    m.offer = p.U64();
    const std::uint8_t last = p.U8();
    if (p.ok() && last > 1) p.Fail(ReadError::kMalformed);
    m.last = last == 1;
    const std::uint32_t count = p.U32();
    if (p.ok() && count > kMaxOfferEntries) p.Fail(ReadError::kMalformed);
    for (std::uint32_t i = 0; i < count && p.ok(); ++i) {
        WantedFile f;
        f.index = Index(p);
        if (p.ok() && i > 0 && f.index <= m.files.back().index) p.Fail(ReadError::kMalformed);
        f.have = p.U64();
        if (f.have != 0) f.prefix = p.Fixed32();
        m.files.push_back(f);
    }
    return m;
}

Data ParseData(PayloadParser& p, std::string* reuse) {
    Data m;
    m.offer = p.U64();
    m.index = Index(p);
    m.offset = p.U64();
    const std::uint32_t size = p.U32();
    if (p.ok() && (size == 0 || size > kMaxDataBytes || m.offset > UINT64_MAX - size))
        p.Fail(ReadError::kMalformed);
    if (reuse) m.bytes = std::move(*reuse);
    p.BytesInto(size, m.bytes);
    return m;
}

}  // namespace

std::string Encode(const FileMessage& message) {
    std::string out;
    EncodeTo(message, out);
    return out;
}

bool EncodeTo(const FileMessage& message, std::string& out) {
    // The payload is written behind room for the header, which is filled in once its length
    // is known: file data is copied once.
    out.assign(kHeaderSize, '\0');
    if (const auto* data = std::get_if<Data>(&message))
        out.reserve(kHeaderSize + 32 + data->bytes.size());
    if (!std::visit(FileWriter{out}, message) || out.size() - kHeaderSize > kMaxPayload) {
        out.clear();
        return false;
    }
    std::string header;
    PutU32(header, static_cast<std::uint32_t>(out.size() - kHeaderSize));
    PutU16(header, static_cast<std::uint16_t>(static_cast<std::uint16_t>(FileType::kOfferBegin) +
                                              message.index()));
    PutU16(header, 0);
    out.replace(0, kHeaderSize, header);
    return true;
}

std::size_t EncodedEntrySize(const OfferEntry& entry) {
    return 1 + 4 + entry.path.size() + (entry.kind == EntryKind::kFile ? 8 : 0);
}

std::size_t HeldSize(const FileMessage& message) {
    if (const auto* data = std::get_if<Data>(&message)) return data->bytes.size();
    if (const auto* entries = std::get_if<OfferEntries>(&message)) {
        std::size_t size = 0;
        for (const auto& e : entries->entries) size += sizeof(OfferEntry) + e.path.size();
        return size;
    }
    if (const auto* accept = std::get_if<Accept>(&message))
        return accept->files.size() * sizeof(WantedFile);
    return 0;
}

bool IsFileType(std::uint16_t type) {
    return type >= static_cast<std::uint16_t>(FileType::kOfferBegin) &&
           type <= static_cast<std::uint16_t>(FileType::kCancel);
}

std::optional<FileMessage> ParseFilePayload(std::uint16_t type, std::string_view bytes,
                                            ReadError& error, std::string* reuse) {
    PayloadParser p(bytes);
    FileMessage m;
    switch (static_cast<FileType>(type)) {
        case FileType::kOfferBegin: {
            OfferBegin b;
            b.offer = p.U64();
            b.entry_count = p.U32();
            if (p.ok() && (b.entry_count == 0 || b.entry_count > kMaxOfferEntries))
                p.Fail(ReadError::kMalformed);
            b.total_bytes = p.U64();
            m = b;
            break;
        }
        case FileType::kOfferEntries:
            m = ParseEntries(p);
            break;
        case FileType::kOfferEnd:
            m = OfferEnd{p.U64()};
            break;
        case FileType::kAccept:
            m = ParseAccept(p);
            break;
        case FileType::kDecline: {
            Decline d;
            d.offer = p.U64();
            d.reason = static_cast<DeclineReason>(p.U16());
            d.text = p.Text(kMaxFileTextBytes);
            m = std::move(d);
            break;
        }
        case FileType::kData:
            m = ParseData(p, reuse);
            break;
        case FileType::kFileDone: {
            FileDone d;
            d.offer = p.U64();
            d.index = Index(p);
            d.hash = p.Fixed32();
            m = d;
            break;
        }
        case FileType::kFileResult: {
            FileResult r;
            r.offer = p.U64();
            r.index = Index(p);
            const std::uint8_t status = p.U8();
            if (p.ok() && !IsFileStatus(status)) p.Fail(ReadError::kMalformed);
            r.status = static_cast<FileStatus>(status);
            r.text = p.Text(kMaxFileTextBytes);
            m = std::move(r);
            break;
        }
        case FileType::kCancel: {
            Cancel c;
            c.offer = p.U64();
            c.text = p.Text(kMaxFileTextBytes);
            m = std::move(c);
            break;
        }
        default:
            p.Fail(ReadError::kMalformed);
            break;
    }
    error = p.error();
    if (error != ReadError::kNone) return std::nullopt;
    return m;
}

}  // namespace quorell::session
