#pragma once

// How the message reader reads the call types. Internal to the session library.

#include <cstdint>
#include <optional>
#include <string_view>

#include "session/call_messages.h"
#include "session/message.h"

namespace quorell::session {

bool IsCallType(std::uint16_t type);
// The fields of a call payload; nothing, with `error` set, when they are malformed.
std::optional<CallMessage> ParseCallPayload(std::uint16_t type, std::string_view bytes,
                                            ReadError& error);

}  // namespace quorell::session
