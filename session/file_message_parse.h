#pragma once

// How the message reader reads the file-transfer types. Internal to the session library.

#include <cstdint>
#include <optional>
#include <string_view>

#include "session/file_messages.h"
#include "session/message.h"

namespace quorell::session {

bool IsFileType(std::uint16_t type);
// The fields of a file-transfer payload; nothing, with `error` set, when they are malformed.
// File data takes the memory of `reuse` when given (it is moved from).
std::optional<FileMessage> ParseFilePayload(std::uint16_t type, std::string_view bytes,
                                            ReadError& error, std::string* reuse = nullptr);

}  // namespace quorell::session
