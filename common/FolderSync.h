#pragma once

#include <string>

// The folder that holds a file: the path up to its last "/", "/" for a file
// in the root and "." for a bare name.
std::string FolderOf(const std::string& path);

// Makes the names in the folder that holds `path` durable, so that a file
// created or renamed there keeps its name through a power cut. Returns 0 when
// done, and also when the folder cannot be synced at all (a file system that
// refuses to sync folders, a folder this user may not open for reading);
// otherwise the error of the failed sync.
int SyncFolderOf(const std::string& path);
