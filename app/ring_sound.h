#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorell {

// How much of the ring sound's file RingSoundPlayable() needs: every chunk before the samples
// must lie within these first bytes.
inline constexpr std::size_t kRingSoundHeadBytes = 64 * 1024;

// Whether a wave file may go to the sound effect, from its first bytes (all of it, or at least
// kRingSoundHeadBytes) and its size: a little-endian RIFF WAVE file whose chunks before the
// samples all lie whole within it, with one format chunk of PCM or floating-point samples of 8
// to 32 bits before them, and samples that end within the file. Qt's wave reader loops forever
// on some damaged files (a chunk size that wraps around), and the program then cannot end;
// such a file is better left unplayed.
bool RingSoundPlayable(std::string_view head, std::uint64_t file_size);

}  // namespace quorell
