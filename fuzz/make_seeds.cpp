// Writes the seed corpora of the fuzz targets from real inputs: control lines from the
// catalogue, file-transfer exchanges with the real marker texts, session streams with files and
// calls, frames from the project's JPEG encoder, blocks from its audio encoders, the ring sound
// cut short. The seeds are committed; run this again only when an input format changes:
//   make_seeds <fuzz/corpus folder> <assets/Sound.WAV>
#include <QDir>
#include <QFile>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "audio/codec.h"
#include "audio/wave_format.h"
#include "common/gbk.h"
#include "protocol/control_lines.h"
#include "session/message.h"
#include "transfer/file_wire.h"
#include "video/jpeg_codec.h"
#include "video/pattern_camera.h"

namespace {

using namespace quorell;

QString g_root;

void Write(const char* target, const std::string& name, const std::string& bytes) {
    QDir().mkpath(g_root + "/" + target);
    QFile file(g_root + "/" + target + "/" + QString::fromStdString(name));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(bytes.data(), static_cast<qint64>(bytes.size())) !=
            static_cast<qint64>(bytes.size())) {
        std::fprintf(stderr, "cannot write %s/%s\n", target, name.c_str());
        std::exit(1);
    }
}

std::string Gbk(const char* utf8) {
    return lines::Wire(utf8);
}

// Inputs read with FuzzedDataProvider: byte strings from the front, numbers from the back (the
// first number taken is the last byte, its high byte first).
class ProviderInput {
public:
    void Bytes(const std::string& bytes) { front_ += bytes; }
    // What ConsumeRandomLengthString reads back as `s`.
    void RandomLengthString(const std::string& s) {
        for (char c : s) {
            front_.push_back(c);
            if (c == '\\') front_.push_back('\\');
        }
        front_ += "\\x";
    }
    void Number(std::uint64_t value, int bytes) {
        for (int k = bytes - 1; k >= 0; --k) back_.push_back(static_cast<char>(value >> (8 * k)));
    }
    std::string Text() const { return front_ + std::string(back_.rbegin(), back_.rend()); }

private:
    std::string front_;
    std::string back_;  // in the order the numbers are taken
};

void ControlLines() {
    const char* catalogue[] = {
        lines::kConnected,        lines::kVideoOpened,       lines::kVideoClosed,
        lines::kVideoReceiving,   lines::kVideoNotReceiving, lines::kFileOffered,
        lines::kFileAccepted,     lines::kFileCancelled,     lines::kFileCompleted,
        lines::kVoiceOffered,     lines::kVoiceStopped,      lines::kVoiceReceiving,
        lines::kVoiceNotReceiving};
    int n = 0;
    for (const char* line : catalogue)
        Write("fuzz_control_line", "system_" + std::to_string(n++), Gbk(line) + "\r\n");
    Write("fuzz_control_line", "video_port", "system1:12345\r\n");
    Write("fuzz_control_line", "video_port_zeros", "system1:08090\r\n");
    Write("fuzz_control_line", "voice_port", "system3:  4321  \r\n");
    Write("fuzz_control_line", "address", "system2:192.168.1.20\r\n");
    Write("fuzz_control_line", "chat",
          Gbk("你好/@@第二行") + "\r\n" + Gbk("对方的第二条") + "\r\n \r\nnever\r\n");
    Write("fuzz_control_line", "no_line_end", Gbk("没有行尾"));
    // A first line at the length limit, then one past it.
    Write("fuzz_control_line", "longest_then_too_long",
          std::string(16384, 'a') + "\n" + std::string(16385, 'b') + "\r\n");
}

void LineFraming() {
    // Header byte, then the stream in reads of the given sizes.
    auto framing = [](std::uint8_t header, const std::vector<std::string>& reads) {
        ProviderInput in;
        for (const std::string& r : reads) {
            in.Number(r.size() - 1, 2);
            in.Bytes(r);
        }
        return std::string(1, static_cast<char>(header)) + in.Text();
    };
    const std::string chat = Gbk("[系统消息]：对方已经连接成功。") + "\r\n";
    Write("fuzz_line_framing", "one_line", framing(0, {chat}));
    Write("fuzz_line_framing", "split_in_crlf", framing(0, {"abc\r", "\ndef\n", "tail"}));
    Write("fuzz_line_framing", "cr_cr_lf", framing(0, {"a\r\r\nb\rc\n\n"}));
    Write("fuzz_line_framing", "byte_by_byte", framing(0, {"s", "y", "s", "1", "\r", "\n"}));
    Write("fuzz_line_framing", "limit_exactly", framing(0x88, {"\n", "next\r\n"}));
    Write("fuzz_line_framing", "limit_with_cr", framing(0x88, {"\r\n"}));
    Write("fuzz_line_framing", "limit_plus_one", framing(0x89, {"\r\n"}));
    Write("fuzz_line_framing", "long_tail", framing(0x8F, {"no end"}));
}

void FileTransfer() {
    enum Kind { kRaw = 0, kName = 4, kLengthText = 5, kLengthNumber = 6, kEnd = 7 };
    struct Seed {
        ProviderInput in;
        void Datagram(Kind kind, const std::string& data, int source = 0) {
            in.Number(static_cast<std::uint64_t>(kind << 3 | source), 1);
            if (kind == kRaw || kind == kName || kind == kLengthText) in.RandomLengthString(data);
        }
        void Length(std::uint32_t n, int source = 0) {
            Datagram(kLengthNumber, "", source);
            in.Number(n, 2);
        }
        void Answer(std::uint8_t value) { in.Number(value, 1); }
    };
    auto chunk = [](std::size_t size, char seed) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7);
        return bytes;
    };
    // A whole file saved as out.bin, the peer told, the box shown.
    Seed whole;
    whole.Datagram(kName, Gbk("C:\\文件\\报告.txt"));
    whole.Length(2500);
    whole.Answer(1);  // accepted
    whole.Answer(1);  // out.bin
    whole.Datagram(kRaw, chunk(1024, 'a'));
    whole.Datagram(kRaw, chunk(1024, 'b'));
    whole.Datagram(kRaw, chunk(452, 'c'));
    whole.Datagram(kEnd, "");
    whole.Answer(0);  // the peer is reached
    Write("fuzz_file_receiver", "whole_file", whole.in.Text());

    // Markers inside the content, a stranger and another port on the way, over keep.bin.
    Seed markers;
    markers.Datagram(kName, "a.txt");
    markers.Length(2048);
    markers.Answer(1);
    markers.Answer(2);  // keep.bin
    markers.Datagram(kRaw, std::string(wire::kEndMarker) + chunk(1005, 'x'));
    markers.Datagram(kRaw, std::string(wire::kEndMarker), 1);           // another machine
    markers.Datagram(kRaw, std::string(wire::kLengthMarker) + "5", 4);  // another port
    markers.Datagram(kRaw, chunk(1000, 'y') + std::string(wire::kNameMarker) + "0000");
    markers.Datagram(kEnd, "");
    markers.Answer(0);
    Write("fuzz_file_receiver", "markers_inside", markers.in.Text());

    // A short transfer, then a cancelled dialog and a stray end.
    Seed short_file;
    short_file.Datagram(kName, "/home/user/x");
    short_file.Datagram(kLengthText, "3000");
    short_file.Answer(1);
    short_file.Answer(3);  // the proposed name
    short_file.Datagram(kRaw, chunk(1024, 'q'));
    short_file.Datagram(kEnd, "", 4);  // the sender's cancel from a new socket
    short_file.Answer(1);              // the peer cannot be reached
    short_file.Datagram(kLengthText, "99999999999");
    short_file.Answer(1);
    short_file.Answer(0);  // cancelled
    short_file.Datagram(kEnd, "");
    Write("fuzz_file_receiver", "short_then_cancelled", short_file.in.Text());
}

void Jpeg() {
    const struct { int width, height; } sizes[] = {{8, 8}, {16, 16}, {64, 48}, {176, 144}};
    for (const auto& s : sizes) {
        const std::string jpeg = EncodeFrameForWire(PatternCamera::Pattern(s.width, s.height, 3));
        Write("fuzz_jpeg", "frame_" + std::to_string(s.width) + "x" + std::to_string(s.height),
              jpeg);
    }
    // A small frame whose header claims 4096 by 4096: refused before any decoding.
    std::string bomb = EncodeJpeg(PatternCamera::Pattern(176, 144, 1));
    const std::size_t sof = bomb.find("\xFF\xC0");
    for (std::size_t at : {sof + 5, sof + 7}) {
        bomb[at] = '\x10';
        bomb[at + 1] = '\0';
    }
    Write("fuzz_jpeg", "claims_4096x4096", bomb);
    // A busy picture: sent at half its size, cut to one datagram.
    QImage busy = PatternCamera::Pattern(640, 480, 7);
    std::uint32_t noise = 12345;
    for (int y = 0; y < busy.height(); ++y) {
        for (int x = 0; x < busy.width(); ++x) {
            noise = noise * 1103515245 + 12345;
            if (noise >> 29 == 0) busy.setPixel(x, y, noise >> 8);
        }
    }
    const std::string sent = EncodeFrameForWire(busy);
    Write("fuzz_jpeg", "cut_640x480", sent);
    Write("fuzz_jpeg", "header_only", sent.substr(0, 700));
}

void GbkTexts() {
    Write("fuzz_gbk", "system_message", Gbk(lines::kVideoOpened));
    Write("fuzz_gbk", "chat", Gbk("自己[2024-01-02 03:04:05]: 你好/@@世界 €"));
    Write("fuzz_gbk", "four_byte_forms", Utf8ToGbk("😀 é ü 한국어 \u30FB \uE78D \U00020087"));
    Write("fuzz_gbk", "utf8_text", "中文 text 😀 \xEF\xBF\xBD");
    Write("fuzz_gbk", "bad_bytes", "\x81\x30\x81 \xFF\x80\xA6\xD9\xFE\x51\xD6");
}

void Audio() {
    const std::vector<WaveFormat> formats = SupportedFormats();
    std::vector<std::int16_t> tone(8000 * 2);
    for (std::size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<std::int16_t>(12000 * std::sin(static_cast<double>(i) * 0.07));
    const WaveFormat wanted[] = {PcmFormat(8000, 8, 1),   PcmFormat(11025, 16, 2),
                                 ALawFormat(8000, 1),     MuLawFormat(22050, 2),
                                 ImaAdpcmFormat(8000, 1), ImaAdpcmFormat(22050, 2),
                                 Gsm610Format(8000)};
    for (const WaveFormat& format : wanted) {
        std::size_t index = 0;
        while (!(formats[index] == format)) ++index;
        auto codec = MakeCodec(format);
        const std::size_t frame = codec->SamplesPerBlock() * codec->Channels();
        const std::size_t blocks = std::max<std::size_t>(1, 1200 / codec->BlockBytes());
        std::string encoded;
        codec->Encode(std::span(tone).first(blocks * frame), encoded);
        Write("fuzz_audio_codecs", "format_" + std::to_string(index),
              std::string(1, static_cast<char>(index)) + encoded);
        if (format.cbSize == 0) continue;  // records with extra bytes get a record seed too
        const std::vector<std::uint8_t> record = format.Bytes();
        Write("fuzz_audio_codecs", "record_" + std::to_string(index),
              "\x80" + std::string(record.begin(), record.end()) + encoded.substr(0, 400));
    }
}

void RingSound(const QString& wav_path) {
    QFile file(wav_path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(wav_path));
        std::exit(1);
    }
    const QByteArray whole = file.readAll();
    Write("fuzz_ring_wav", "sound_cut_4k", whole.left(4096).toStdString());
    Write("fuzz_ring_wav", "sound_header", whole.left(44).toStdString());
    // The same start with its sizes made to fit.
    auto put32 = [](std::string& bytes, std::size_t at, std::size_t v) {
        for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<char>(v >> (8 * k));
    };
    std::string fitted = whole.left(2048).toStdString();
    put32(fitted, 4, fitted.size() - 8);
    put32(fitted, 40, fitted.size() - 44);
    Write("fuzz_ring_wav", "sound_fitted_2k", fitted);
    // An odd-sized chunk of its own before the format, as many writers add.
    std::string listed =
        fitted.substr(0, 12) + std::string("LIST\x05\0\0\0INFOa\0", 14) + fitted.substr(12);
    put32(listed, 4, listed.size() - 8);
    Write("fuzz_ring_wav", "sound_with_list_chunk", listed);
}

// Session streams; the first two bytes of each seed choose the cuts into reads.
void SessionMessages() {
    namespace s = session;
    const std::string cuts("\x12\x34", 2);
    const std::string hello = s::Encode(
        s::Hello{1, "Quorell 1.0", {"chat", "events", "file/1", "call/1"}, 9010, "alice@laptop"});
    auto header = [](std::uint32_t length, std::uint16_t type, std::uint16_t flags) {
        std::string h;
        for (int shift : {24, 16, 8, 0}) h.push_back(static_cast<char>(length >> shift));
        for (auto v : {type, flags}) {
            h.push_back(static_cast<char>(v >> 8));
            h.push_back(static_cast<char>(v));
        }
        return h;
    };
    Write("fuzz_session_message", "hello", cuts + hello);
    Write("fuzz_session_message", "every_type",
          cuts + hello + s::Encode(s::Chat{"hello, 世界"}) +
              s::Encode(s::Event{s::EventCode::kVideoStarted, 6000}) +
              s::Encode(s::Event{s::EventCode::kFileOffered, std::nullopt}) +
              s::Encode(s::Ping{42}) + s::Encode(s::Pong{42}) +
              s::Encode(s::Bye{s::ByeReason::kUserClosed, "closed"}) +
              s::Encode(s::Error{s::ErrorCode::kMalformed, "bad"}) +
              s::Encode(s::Commit{s::Digest{1, 2, 3}}) + s::Encode(s::Reveal{s::Digest{4, 5}}));
    Write("fuzz_session_message", "unknown_optional",
          cuts + hello + header(3, 0x0100, 0) + "abc" + s::Encode(s::Chat{"next"}));
    Write("fuzz_session_message", "unknown_must_understand",
          cuts + hello + header(1, 0x0200, s::kFlagMustUnderstand) + "x");
    Write("fuzz_session_message", "too_large", cuts + hello + header(s::kMaxPayload + 1, 2, 0));
    Write("fuzz_session_message", "bad_utf8",
          cuts + hello + header(6, 2, 0) + std::string("\0\0\0\2\xC0\x80", 6));

    // A whole file transfer: the offer in two pieces, an Accept resuming one file, its data,
    // its hash and the verdict, then a second offer cancelled.
    s::Sha256 prefix{};
    prefix.fill(0xAB);
    Write("fuzz_session_message", "file_transfer",
          cuts + hello + s::Encode(s::OfferBegin{1, 3, 70000}) +
              s::Encode(s::OfferEntries{1, 0, {{s::EntryKind::kFolder, "相册/空", 0}}}) +
              s::Encode(s::OfferEntries{1,
                                        1,
                                        {{s::EntryKind::kFile, "相册/a.jpg", 69990},
                                         {s::EntryKind::kFile, "相册/b.txt", 10}}}) +
              s::Encode(s::OfferEnd{1}) + s::Encode(s::Accept{1, false, {{1, 4096, prefix}}}) +
              s::Encode(s::Accept{1, true, {{2, 0, {}}}}) +
              s::Encode(s::Data{1, 1, 4096, std::string(300, '\x5A')}) +
              s::Encode(s::FileDone{1, 1, prefix}) +
              s::Encode(s::FileResult{1, 1, s::FileStatus::kHashMismatch, "hash"}) +
              s::Encode(s::Decline{2, s::DeclineReason::kBusy, "busy"}) +
              s::Encode(s::Cancel{1, "stopped"}));
    // An entry count at the limit, and a Data longer than any may be.
    Write("fuzz_session_message", "file_limits",
          cuts + hello + s::Encode(s::OfferBegin{3, s::kMaxOfferEntries, 0}) +
              header(28, 0x0106, 0) + std::string(20, '\0') + std::string("\0\4\0\1", 4) + "data");

    // A voice call: invited, accepted, offer and answer, candidates both ways, stopped; a video
    // invite declined with a reason this version does not know.
    const std::string offer =
        "v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\na=group:BUNDLE audio0\r\n"
        "m=audio 9 UDP/TLS/RTP/SAVPF 96\r\nc=IN IP4 0.0.0.0\r\na=setup:actpass\r\n"
        "a=ice-ufrag:abcd\r\na=ice-pwd:abcdefghijklmnopqrstuv\r\na=mid:audio0\r\n"
        "a=rtcp-mux\r\na=sendrecv\r\na=rtpmap:96 OPUS/48000/2\r\n"
        "a=fingerprint:sha-256 "
        "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:"
        "45:67:89\r\n";
    std::string answer = offer;
    answer.replace(answer.find("actpass"), 7, "active");
    Write("fuzz_session_message", "call",
          cuts + hello + s::Encode(s::CallInvite{0x5EED, s::CallMedia::kVoice}) +
              s::Encode(s::CallAccept{0x5EED}) +
              s::Encode(s::CallDescription{0x5EED, s::SdpKind::kOffer, offer}) +
              s::Encode(s::CallDescription{0x5EED, s::SdpKind::kAnswer, answer}) +
              s::Encode(s::CallCandidate{
                  0x5EED, 0, "candidate:1 1 UDP 2015363327 192.168.1.20 40000 typ host"}) +
              s::Encode(s::CallCandidate{
                  0x5EED, 0, "candidate:2 1 UDP 2015363327 192.168.1.21 40002 typ host"}) +
              s::Encode(s::CallInvite{7, s::CallMedia::kVideo}) +
              s::Encode(s::CallDecline{7, static_cast<s::CallDeclineReason>(900), "忙"}) +
              s::Encode(s::CallStop{0x5EED, "hung up"}));
    // A candidate at its limits, then a description whose SDP count is past its limit (read
    // no further than the count; the seeds stay within the fuzzer's 4096 bytes).
    Write(
        "fuzz_session_message", "call_limits",
        cuts + hello +
            s::Encode(s::CallCandidate{1, s::kMaxMline, std::string(s::kMaxCandidateBytes, 'c')}) +
            header(18, 0x0204, 0) + std::string(8, '\0') + std::string("\1\0\1\0\1", 5) +
            "v=0\r\n");
    // A candidate for an m-line past the last one a call may have.
    Write("fuzz_session_message", "call_mline",
          cuts + hello + header(17, 0x0205, 0) + std::string(8, '\0') +
              std::string("\0\0\0\x10\0\0\0\1c", 9));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_seeds <corpus folder> <Sound.WAV>\n");
        return 2;
    }
    g_root = QString::fromLocal8Bit(argv[1]);
    ControlLines();
    LineFraming();
    FileTransfer();
    Jpeg();
    GbkTexts();
    Audio();
    RingSound(QString::fromLocal8Bit(argv[2]));
    SessionMessages();
    return 0;
}
