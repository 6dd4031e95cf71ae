// Feeds arbitrary bytes to the performance-data reader: as the block the
// system returned, as the perflib counter names, and through the whole
// termination method on a simulated NT 4.0 machine.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"
#include "system/processes.h"

namespace {

const char kCounters[] = "1\0" "1847\0" "230\0" "Process\0" "784\0" "ID Process\0";

pf::sim::SimMachine& Machine() {
    static pf::sim::SimMachine* machine = [] {
        auto* m = new pf::sim::SimMachine();
        m->SetVersion(pf::sim::WinVersion::Nt4);
        m->logEnabled = false;
        m->SetValue(pf::kHkeyLocalMachine,
                    "software\\microsoft\\windows nt\\currentversion\\perflib\\009", "Counters",
                    pf::kRegMultiSz, std::string(kCounters, sizeof(kCounters)));
        m->AddProcess("C:\\X\\foo.exe");
        pf::SetPlatform(m);
        return m;
    }();
    return *machine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pf::sim::SimMachine& m = Machine();
    // Exact-size copies, so that any read past the end is caught.
    std::vector<uint8_t> block(data, data + size);
    PerfTaskEntry table[kPerfTaskTableSize];
    const pf::DWORD pidIndex = size >= 12 ? pf::DWORD(data[8] | data[9] << 8) : 784;
    const int n = ReadPerfTasks(block.empty() ? nullptr : block.data(), block.size(), pidIndex, table);
    if (n < 0 || n > kPerfTaskMaxEntries) __builtin_trap();
    for (const PerfTaskEntry& e : table)
        if (std::strlen(e.name) > size_t(kPerfTaskNameChars)) __builtin_trap();

    std::vector<char> names(data, data + size);
    char object[16];
    pf::DWORD counter = 0;
    FindProcessCounters(names.data(), names.size(), object, sizeof(object), &counter);

    // The whole method: the input as the system's answer.
    m.perfData.assign(reinterpret_cast<const char*>(data), size);
    for (pf::sim::SimProcess& p : m.processes) p.alive = true;
    m.processHandles.clear();
    m.sleeps.clear();
    TerminateByPerfData("C:\\X\\foo.exe");
    if (m.liveAllocations != 0 || !m.processHandles.empty()) __builtin_trap();
    return 0;
}
