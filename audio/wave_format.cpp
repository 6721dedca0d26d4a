#include "audio/wave_format.h"

#include <cstdio>

#include "audio/codec_table.h"

namespace quorell {
namespace {

std::uint16_t Read16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t Read32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// A format whose only extra data is its samples per block.
void SetSamplesPerBlock(WaveFormat& format, std::uint16_t samples) {
    format.cbSize = 2;
    format.extra = {static_cast<std::uint8_t>(samples), static_cast<std::uint8_t>(samples >> 8)};
}

}  // namespace

std::optional<WaveFormat> WaveFormat::Parse(std::span<const std::uint8_t> record) {
    if (record.size() < kHeaderBytes) return std::nullopt;
    WaveFormat format;
    format.wFormatTag = Read16(record, 0);
    format.nChannels = Read16(record, 2);
    format.nSamplesPerSec = Read32(record, 4);
    format.nAvgBytesPerSec = Read32(record, 8);
    format.nBlockAlign = Read16(record, 12);
    format.wBitsPerSample = Read16(record, 14);
    format.cbSize = Read16(record, 16);
    if (record.size() - kHeaderBytes < format.cbSize) return std::nullopt;
    format.extra.assign(record.begin() + kHeaderBytes,
                        record.begin() + kHeaderBytes + format.cbSize);
    return format;
}

std::vector<std::uint8_t> WaveFormat::Bytes() const {
    std::vector<std::uint8_t> out;
    out.reserve(kHeaderBytes + cbSize);
    Put16(out, wFormatTag);
    Put16(out, nChannels);
    Put32(out, nSamplesPerSec);
    Put32(out, nAvgBytesPerSec);
    Put16(out, nBlockAlign);
    Put16(out, wBitsPerSample);
    Put16(out, cbSize);
    // Exactly cbSize extra bytes, so that the record always parses back to itself.
    for (std::size_t i = 0; i < cbSize; ++i) out.push_back(i < extra.size() ? extra[i] : 0);
    return out;
}

WaveFormat PcmFormat(std::uint32_t rate, std::uint16_t bits, std::uint16_t channels) {
    WaveFormat format;
    format.wFormatTag = kWaveFormatPcm;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.nBlockAlign = static_cast<std::uint16_t>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    format.wBitsPerSample = bits;
    return format;
}

namespace {

WaveFormat G711Format(std::uint16_t tag, std::uint32_t rate, std::uint16_t channels) {
    WaveFormat format;
    format.wFormatTag = tag;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.nBlockAlign = channels;
    format.nAvgBytesPerSec = rate * channels;
    format.wBitsPerSample = 8;
    return format;
}

}  // namespace

WaveFormat ALawFormat(std::uint32_t rate, std::uint16_t channels) {
    return G711Format(kWaveFormatALaw, rate, channels);
}

WaveFormat MuLawFormat(std::uint32_t rate, std::uint16_t channels) {
    return G711Format(kWaveFormatMuLaw, rate, channels);
}

WaveFormat Gsm610Format(std::uint32_t rate) {
    constexpr std::uint16_t kBlockBytes = 65;
    constexpr std::uint16_t kBlockSamples = 320;
    WaveFormat format;
    format.wFormatTag = kWaveFormatGsm610;
    format.nChannels = 1;
    format.nSamplesPerSec = rate;
    format.nAvgBytesPerSec =
        static_cast<std::uint32_t>(std::uint64_t{rate} * kBlockBytes / kBlockSamples);
    format.nBlockAlign = kBlockBytes;
    format.wBitsPerSample = 0;
    SetSamplesPerBlock(format, kBlockSamples);
    return format;
}

WaveFormat ImaAdpcmFormat(std::uint32_t rate, std::uint16_t channels) {
    const std::uint16_t per_channel = rate <= 11025 ? 256 : rate <= 22050 ? 512 : 1024;
    const std::uint32_t align = std::uint32_t{per_channel} * channels;
    const std::uint32_t header = 4u * channels;
    // Each channel's header carries one sample; every further 4*channels bytes carry 8 each.
    const std::uint32_t samples = channels == 0 ? 0 : (align - header) * 8 / header + 1;
    WaveFormat format;
    format.wFormatTag = kWaveFormatImaAdpcm;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.nBlockAlign = static_cast<std::uint16_t>(align);
    format.nAvgBytesPerSec =
        samples == 0 ? 0 : static_cast<std::uint32_t>(std::uint64_t{rate} * align / samples);
    format.wBitsPerSample = 4;
    SetSamplesPerBlock(format, static_cast<std::uint16_t>(samples));
    return format;
}

std::vector<WaveFormat> SupportedFormats() {
    std::vector<WaveFormat> formats;
    for (const CodecRow& row : CodecTable()) row.formats(formats);
    return formats;
}

bool IsSupported(const WaveFormat& format) {
    for (const WaveFormat& supported : SupportedFormats()) {
        if (supported == format) return true;
    }
    return false;
}

std::string Describe(const WaveFormat& format) {
    std::string kind;
    if (const CodecRow* row = FindCodecRow(format.wFormatTag)) {
        kind = row->name;
    } else {
        char tag[32];
        std::snprintf(tag, sizeof tag, "Format 0x%04X", format.wFormatTag);
        kind = tag;
    }
    char rate[32];
    std::snprintf(rate, sizeof rate, "%u.%03u kHz", format.nSamplesPerSec / 1000,
                  format.nSamplesPerSec % 1000);
    std::string text = kind + ", " + rate;
    if (format.wBitsPerSample != 0) text += ", " + std::to_string(format.wBitsPerSample) + " Bit";
    if (format.nChannels == 1) {
        text += ", Mono";
    } else if (format.nChannels == 2) {
        text += ", Stereo";
    } else {
        text += ", " + std::to_string(format.nChannels) + " Channels";
    }
    text += ", " + std::to_string(format.nAvgBytesPerSec) + " bytes/s";
    return text;
}

}  // namespace quorell
