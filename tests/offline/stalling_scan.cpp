// vendrika-scan with a test-only detector whose inspection is stuck in a
// file-system call: it waits for a lock (flock) that the test holds on the
// file named by CV_TEST_STALL_LOCK, and, as code that retries EINTR does,
// waits again after every signal. The walk cannot reach its next entry
// until the lock is released: a run stuck in a call the way one on a hung
// volume is, where each signal's handler runs but the call goes on.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/walk.h"

int VendrikaScanMain(int argc, char** argv);

namespace {

constexpr char kName[] = "Test/Stall.Lock";
constexpr uint64_t kLength = 23;  // the only length it takes: "stall here, the test. \n"

bool CanMatchLength(uint64_t length) { return length == kLength; }

int Inspect(const char*, const char*) {
    const char* lockPath = std::getenv("CV_TEST_STALL_LOCK");
    if (!lockPath) return 0;
    const int fd = ::open(lockPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    static const char kStalled[] = "stalled\n";
    if (::write(STDERR_FILENO, kStalled, sizeof kStalled - 1) < 0) {
    }
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    ::close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    static const DetectorEntry table[] = {{kName, Inspect, CanMatchLength}, DetectorTable[0],
                                          {nullptr, nullptr, nullptr}};
    SetDetectors(table);
    return VendrikaScanMain(argc, argv);
}
