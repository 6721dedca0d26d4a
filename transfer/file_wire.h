#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorell::wire {

// The texts of the file-transfer exchange, byte for byte (the receiver's replies really are
// spelt "Recived"; senders compare them upper-cased).
inline constexpr std::string_view kNameMarker = "Send file:File Name:";
inline constexpr std::string_view kLengthMarker = "Send File:File Length:";
inline constexpr std::string_view kEndMarker = "Send File:File End!";

inline constexpr std::string_view kNameOk = "Recived File Name OK!";
inline constexpr std::string_view kLengthOk = "Recived File Length OK!";
inline constexpr std::string_view kLengthCancel = "Recived File Length Cancel!";
inline constexpr std::string_view kPackageOk = "Recived File Package OK!";
inline constexpr std::string_view kFileOk = "Recived File OK!";

inline constexpr std::string_view kNameOkUpper = "RECIVED FILE NAME OK!";
inline constexpr std::string_view kLengthOkUpper = "RECIVED FILE LENGTH OK!";
inline constexpr std::string_view kPackageOkUpper = "RECIVED FILE PACKAGE OK!";

// Upper-cases the ASCII letters a to z only.
inline std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// The progress bar position for count of size bytes: the quotient first, then the product, the
// nearest whole number with halves to the even neighbour (the default rounding mode), kept
// inside the bar's range. size must not be 0.
inline int ProgressPercent(std::int64_t count, std::int64_t size) {
    const double percent =
        std::nearbyint(static_cast<double>(count) / static_cast<double>(size) * 100.0);
    if (!(percent > 0.0)) return 0;  // also NaN
    if (percent > 100.0) return 100;
    return static_cast<int>(percent);
}

}  // namespace quorell::wire
