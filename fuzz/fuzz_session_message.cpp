// Session messages from any bytes. The first two bytes choose where the rest is cut into reads;
// the reader must give the same messages and the same verdict whatever the cuts, and every
// message it gives must encode to bytes that read back as the same message.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "session/message.h"

using quorell::session::Message;
namespace session = quorell::session;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::uint32_t state = (std::uint32_t{data[0]} << 8) | data[1];
    const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

    session::MessageReader whole;
    std::vector<Message> at_once;
    const bool whole_ok = whole.Feed(stream, at_once);
    FUZZ_CHECK(whole_ok == (whole.error() == session::ReadError::kNone));

    session::MessageReader cut;
    std::vector<Message> in_pieces;
    std::string_view rest = stream;
    bool cut_ok = true;
    while (!rest.empty() && cut_ok) {
        state = state * 1103515245u + 12345u;
        const std::size_t piece = std::min<std::size_t>(rest.size(), (state >> 16) % 40);
        cut_ok = cut.Feed(rest.substr(0, piece), in_pieces);
        rest.remove_prefix(piece);
    }
    FUZZ_CHECK(cut_ok == whole_ok);
    FUZZ_CHECK(cut.error() == whole.error());
    FUZZ_CHECK(in_pieces == at_once);
    if (whole_ok) FUZZ_CHECK(cut.MidMessage() == whole.MidMessage());

    std::string again;
    for (const auto& m : at_once) {
        const std::string bytes = session::Encode(m);
        FUZZ_CHECK(bytes.size() >= session::kHeaderSize);
        again += bytes;
    }
    session::MessageReader back;
    std::vector<Message> reread;
    FUZZ_CHECK(back.Feed(again, reread));
    FUZZ_CHECK(!back.MidMessage());
    FUZZ_CHECK(reread == at_once);
    return 0;
}
