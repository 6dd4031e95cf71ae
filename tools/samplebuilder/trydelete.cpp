// trydelete PATH: calls DeleteFileA once and prints "deleted" or
// "failed ERROR"; the exit code is 0 when deleted, 1 when not.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: trydelete PATH\n");
        return 2;
    }
    if (DeleteFileA(argv[1])) {
        std::printf("deleted\n");
        return 0;
    }
    std::printf("failed %lu\n", static_cast<unsigned long>(GetLastError()));
    return 1;
}
