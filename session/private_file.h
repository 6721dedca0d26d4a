#pragma once

#include <string>

namespace quorell {

// Files only the user may read: the long-term key and the list of known peers.

// Creates `folder` with mode 0700 if it is missing (its parents with the default mode). An
// existing folder is left as it is. Returns an empty string or what went wrong.
std::string EnsurePrivateFolder(const std::string& folder);

// Replaces `path` by `data` so that a crash leaves either the old or the new content: writes a
// temporary file of mode 0600 beside it, syncs it, renames it over `path` and syncs the folder.
// Returns an empty string or what went wrong (the old file is then untouched).
std::string WritePrivateFile(const std::string& path, const std::string& data);

// Reads `path` whole. Returns false with `error` set when it cannot be read, or when it is not
// a regular file of mode 0600 (nobody but the owner may read or write it).
bool ReadPrivateFile(const std::string& path, std::string& data, std::string& error);

}  // namespace quorell
