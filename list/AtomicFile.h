#pragma once

#include <cstddef>
#include <string>

// Replaces the file at path with data so that readers and a crash see either
// the old or the new contents, never a part: the data goes to a new file in
// the same folder (mode 0600, named ".<name>.quilvane-save-XXXXXX"), is
// flushed to disk and renamed over path. Throws AppError "Cannot write <path>: <system's reason>"
// and leaves the old file as it was when any step before the rename fails.
void ReplaceFileAtomically(const std::string& path, const void* data, std::size_t size);

// Removes the temporary files that replacements of path left behind when the
// program died in the middle of one, and no other file.
void RemoveLeftoverTemporaries(const std::string& path);
