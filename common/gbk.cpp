#include "common/gbk.h"

namespace quorell {
// Placeholder until the converter lands.
std::string Utf8ToGbk(std::string_view utf8) { return std::string(utf8); }
std::string GbkToUtf8(std::string_view gbk) { return std::string(gbk); }
std::size_t GbkByteCount(std::string_view utf8) { return Utf8ToGbk(utf8).size(); }
}  // namespace quorell
