// vendrika-scan with the POSIX platform's system calls watched (tests only):
// the table of platform/posix/posix_syscalls.h passes every call on to the
// real one and, when CV_SYSCALL_LOG names a file, writes one line per call:
//   openat FLAGS(hex) RESULT NAME
//   fsync RESULT DEVICE:INODE dir|file
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/posix/posix_syscalls.h"

int VendrikaScanMain(int argc, char** argv);

namespace {
int g_log = -1;

int LoggedOpenat(int dirFd, const char* name, int flags, mode_t mode) {
    const int fd = pf::posix::RealSystemCalls().openat(dirFd, name, flags, mode);
    const int saved = errno;
    dprintf(g_log, "openat %x %d %s\n", unsigned(flags), fd, name);
    errno = saved;
    return fd;
}

int LoggedFsync(int fd) {
    struct stat st {};
    const bool known = ::fstat(fd, &st) == 0;
    const int result = pf::posix::RealSystemCalls().fsync(fd);
    const int saved = errno;
    dprintf(g_log, "fsync %d %lu:%lu %s\n", result, known ? (unsigned long)st.st_dev : 0ul,
            known ? (unsigned long)st.st_ino : 0ul, S_ISDIR(st.st_mode) ? "dir" : "file");
    errno = saved;
    return result;
}
}  // namespace

int main(int argc, char** argv) {
    if (const char* log = std::getenv("CV_SYSCALL_LOG")) {
        g_log = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (g_log >= 0) {
            pf::posix::Sys().openat = LoggedOpenat;
            pf::posix::Sys().fsync = LoggedFsync;
        }
    }
    return VendrikaScanMain(argc, argv);
}
