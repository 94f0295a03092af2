#pragma once

#include <sys/types.h>

// The system calls through which the incomplete file and the list's lock
// file are locked and the incomplete file is allocated and made durable. The program uses
// the system's own; tests put in calls that fail as a file system or a disk
// can, which no real file system here does on demand.
struct FileCalls {
    int (*lock)(int fd, int operation);
    int (*syncRange)(int fd, off64_t offset, off64_t size, unsigned int flags);
    int (*dataSync)(int fd);
    // Allocates blocks (and extends the file) for offset..offset+size.
    int (*allocate)(int fd, int mode, off64_t offset, off64_t size);
};

// The calls in force for the whole process. Replaced only while no file is
// being locked or written (a test sets them before a run and restores them
// after it).
const FileCalls& ActiveFileCalls();
const FileCalls& SystemFileCalls();
void SetFileCalls(const FileCalls& calls);

// Whether a failed lock means that the file system cannot lock at all (NFS
// mounted without locks, some FUSE file systems) rather than that another
// program holds the lock or the disk failed. Such a failure says nothing
// about other programs, so the file is then used unlocked.
bool LockUnsupported(int error);
