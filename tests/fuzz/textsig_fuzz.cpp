// Feeds arbitrary bytes as the hosts file to the text-signature check and
// compares its verdict with the plain rule; any crash, overrun, leak of an
// open file or disagreement stops the fuzzer.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../unit/persistence_model.h"
#include "scan/scan_context.h"
#include "persistence/hosts_file.h"
#include "platform/sim/sim_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char kHosts[] = "C:\\WINDOWS\\system32\\drivers\\etc\\hosts";
    pf::sim::SimMachine machine;
    pf::sim::ScopedSimMachine guard(machine);
    ResetScanContextForTest();
    const std::string file(reinterpret_cast<const char*>(data), size);
    if (!machine.AddFile(kHosts, file)) std::abort();
    const bool want = persistence_model::TextFileMatches(file);
    const int got = CheckTextFile("x", kHosts);
    if (got != (want ? 1 : 0)) std::abort();
    if (machine.Exists(kHosts) == want) std::abort();
    if (!machine.openFiles.empty()) std::abort();
    return 0;
}
