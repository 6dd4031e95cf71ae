// Feeds arbitrary bytes as an existing wininit.ini to the rename-entry
// rewrite. The first input byte may also make one platform call fail. The
// result must be the original with the entry in place, or, after a failure,
// the original untouched; any crash, overrun or open file stops the fuzzer.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../unit/persistence_model.h"
#include "scan/scan_context.h"
#include "persistence/delayed_delete.h"
#include "platform/sim/sim_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char kIni[] = "C:\\WINDOWS\\wininit.ini";
    static const char* const kOps[] = {"CopyFileA", "_open", "fopen", "fgets", "_write", "_close"};
    if (size == 0) return 0;
    pf::sim::SimMachine machine;
    pf::sim::ScopedSimMachine guard(machine);
    ResetScanContextForTest();
    machine.SetVersion(pf::sim::WinVersion::Win98);
    if (!machine.AddFolder("C:\\WINDOWS\\TEMP")) std::abort();
    // Selector byte: low 3 bits choose an operation (6, 7: none), the rest which call.
    const uint8_t selector = data[0];
    if ((selector & 7) < 6) machine.FailCall(kOps[selector & 7], (selector >> 3) + 1);
    const std::string original(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (!machine.AddFile(kIni, original)) std::abort();
    const bool ok = AddWininitRenameEntry("NUL", "C:\\EVIL~1.EXE");
    const std::string now = machine.ReadFileText(kIni);
    const std::string want =
        ok ? persistence_model::RewrittenWininit(original, "NUL=C:\\EVIL~1.EXE\r\n") : original;
    if (now != want) std::abort();
    if (!machine.openFiles.empty() || !machine.streams.empty()) std::abort();
    return 0;
}
