// The system calls through which the POSIX platform opens, looks up and
// flushes what lies on the volumes: one table, the real calls by default,
// any of which a test program may swap for its own (as SQLite's os_unix.c
// does with its aSyscall table), so that what the platform asks of the
// system can be watched or made to fail without LD_PRELOAD.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace pf::posix {

struct SystemCalls {
    int (*openat)(int dirFd, const char* name, int flags, mode_t mode);
    int (*fstatat)(int dirFd, const char* name, struct stat* st, int flags);
    int (*fsync)(int fd);
};

// The table in use (the real calls unless a test changed one).
SystemCalls& Sys();
// The real calls, for a test's replacement to pass on to.
const SystemCalls& RealSystemCalls();

// Every open of something on a volume: never blocking (O_NONBLOCK: a file
// another program holds a lease on answers EWOULDBLOCK at once), never a
// terminal, closed on exec; and, for what exists already, without updating
// its access time (O_NOATIME), so that a rescue scan keeps the times a
// forensic look needs. O_NOATIME is allowed only to the file's owner or with
// CAP_FOWNER: where it is refused (EPERM) the file is opened without it.
// Not for O_PATH holds (they read nothing) nor for files made (O_CREAT).
int OpenOnVolume(int dirFd, const char* name, int flags, mode_t mode = 0);

}  // namespace pf::posix
