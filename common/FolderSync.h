#pragma once

#include <string>
#include <string_view>

// The folder part of a path: everything up to and including its last "/"
// (or last of any of `separators`); empty for a bare name.
std::string FolderOf(std::string_view path, std::string_view separators = "/");

// Makes the names in the folder that holds `path` durable, so that a file
// created or renamed there keeps its name through a power cut. Returns 0 when
// done, and also when the folder cannot be synced at all (a file system that
// refuses to sync folders, a folder this user may not open for reading);
// otherwise the error of the failed sync.
int SyncFolderOf(const std::string& path);
