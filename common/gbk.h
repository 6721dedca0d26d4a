#pragma once

#include <string>
#include <string_view>

namespace quorell {

// Wire and on-screen texts are GBK (code page 936) byte strings; inside the program the
// user-interface side works in UTF-8. Characters that code page 936 has are encoded exactly as
// it encodes them; characters it lacks use their GB18030 four-byte form, so nothing is lost
// between two copies of this program.

// Encodes UTF-8 text as GBK. Malformed UTF-8 input becomes '?' for each bad byte.
std::string Utf8ToGbk(std::string_view utf8);

// Decodes GBK bytes to UTF-8. Accepts any byte sequence: a byte that does not start a valid
// character becomes U+FFFD and decoding resumes at the next byte.
std::string GbkToUtf8(std::string_view gbk);

}  // namespace quorell
