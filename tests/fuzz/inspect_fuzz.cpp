// libFuzzer target: the fuzz input is a file on a simulated drive. It goes
// through the inspection with the built-in table, through the matching with
// a table that reads at many places (zero patterns, every size mode, offsets
// taken from the input's first bytes), and through the walk in both modes.
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/inspect.h"
#include "scan/scan_context.h"
#include "engine/signatures.h"
#include "engine/walk.h"
#include "platform/sim/sim_machine.h"

namespace {

int32_t Le32At(const uint8_t* data, size_t size, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        if (at + i < size) v |= uint32_t(data[at + i]) << (8 * i);
    return int32_t(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pf::sim::SimMachine machine;
    pf::sim::ScopedSimMachine use(machine);
    machine.logEnabled = false;
    ResetScanContextForTest();
    g_scan.mainWindow = reinterpret_cast<pf::HWND>(uintptr_t(0xC1EA));

    const std::string file(reinterpret_cast<const char*>(data), size);
    machine.AddFile("C:\\f\\x.exe", file);

    InspectFile("W32/Vendrika.Trojan", "C:\\f\\x.exe");

    SignatureRecord table[4];
    std::memset(table, 0, sizeof table);
    const int32_t modes[3] = {1, 2, 3};
    for (int i = 0; i < 3; ++i) {
        std::strcpy(table[i].name, "W32/Vendrika.Gen.Trojan");
        // Distances from the input itself (bytes 2..25 of the DOS stub area).
        table[i].firstOffset = Le32At(data, size, 2 + 8 * i);
        table[i].secondOffset = Le32At(data, size, 6 + 8 * i);
        table[i].fileSize = int32_t(size);
        table[i].sizeMode = modes[i];
    }
    const int fd = machine._open("C:\\f\\x.exe", pf::kOBinary, 0);
    if (fd >= 0) {
        if (ReadPeHeaders(fd)) FindMatchingRecord(fd, int32_t(size), table);
        machine._close(fd);
    }

    WalkFolder("C:\\f\\*.*");
    g_scan.memoryMode = true;
    WalkFolder("C:\\f\\x.exe");

    // Whatever the input, every file and search is closed again.
    if (!machine.openFiles.empty() || !machine.finds.empty()) __builtin_trap();
    ResetScanContextForTest();
    return 0;
}
