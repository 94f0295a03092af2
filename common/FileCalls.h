#pragma once

#include <sys/types.h>

// The system calls through which the incomplete file is locked and made
// durable. The program uses the system's own; tests put in calls that fail as
// a file system or a disk can, which no real file system here does on demand.
struct FileCalls {
    int (*lock)(int fd, int operation);
    int (*syncRange)(int fd, off64_t offset, off64_t size, unsigned int flags);
    int (*dataSync)(int fd);
};

// The calls in force for the whole process. Replaced only while no file is
// being locked or written (a test sets them before a run and restores them
// after it).
const FileCalls& ActiveFileCalls();
const FileCalls& SystemFileCalls();
void SetFileCalls(const FileCalls& calls);
