#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorell {

inline constexpr std::uint16_t kWaveFormatPcm = 1;
inline constexpr std::uint16_t kWaveFormatALaw = 6;
inline constexpr std::uint16_t kWaveFormatMuLaw = 7;
inline constexpr std::uint16_t kWaveFormatImaAdpcm = 0x11;
inline constexpr std::uint16_t kWaveFormatGsm610 = 0x31;

// The wave format record exchanged with the format chooser and the wave components: the
// 18-byte little-endian WAVEFORMATEX layout, then cbSize bytes of format-specific data.
struct WaveFormat {
    std::uint16_t wFormatTag = 0;
    std::uint16_t nChannels = 0;
    std::uint32_t nSamplesPerSec = 0;
    std::uint32_t nAvgBytesPerSec = 0;
    std::uint16_t nBlockAlign = 0;
    std::uint16_t wBitsPerSample = 0;
    std::uint16_t cbSize = 0;
    std::vector<std::uint8_t> extra;  // cbSize bytes

    static constexpr std::size_t kHeaderBytes = 18;

    // Reads a record; nothing when it is shorter than its header or than header + cbSize.
    static std::optional<WaveFormat> Parse(std::span<const std::uint8_t> record);
    // The record's bytes: the header and the extra bytes (cbSize of them).
    std::vector<std::uint8_t> Bytes() const;

    bool operator==(const WaveFormat&) const = default;
};

// Records exactly as the system writes them for each kind of format.
WaveFormat PcmFormat(std::uint32_t rate, std::uint16_t bits, std::uint16_t channels);
WaveFormat ALawFormat(std::uint32_t rate, std::uint16_t channels);
WaveFormat MuLawFormat(std::uint32_t rate, std::uint16_t channels);
WaveFormat Gsm610Format(std::uint32_t rate = 8000);  // mono, 65-byte blocks of 320 samples
WaveFormat ImaAdpcmFormat(std::uint32_t rate, std::uint16_t channels);

// Every format the program can record and play, in the order a chooser lists them.
std::vector<WaveFormat> SupportedFormats();
// True when the format is one of SupportedFormats() (the extra bytes included).
bool IsSupported(const WaveFormat& format);
// How a chooser shows a format, in UTF-8: kind, rate, bits, channels and bytes per second,
// e.g. "GSM 6.10, 8.000 kHz, Mono, 1625 bytes/s".
std::string Describe(const WaveFormat& format);

}  // namespace quorell
