// Builds performance-data blocks as Windows lays them out (PERF_DATA_BLOCK,
// one PERF_OBJECT_TYPE for processes, its PERF_COUNTER_DEFINITIONs, then per
// instance a PERF_INSTANCE_DEFINITION with its UTF-16 name and a
// PERF_COUNTER_BLOCK), and the perflib "Counters" names that go with it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim_machine.h"

namespace perftest {

constexpr uint32_t kProcessObjectIndex = 230;
constexpr uint32_t kIdProcessIndex = 784;
constexpr uint32_t kProcessorTimeIndex = 6;
constexpr uint32_t kThreadCountIndex = 680;

// Byte offsets of the records inside a built block.
constexpr uint32_t kBlockHeaderSize = 88;   // PERF_DATA_BLOCK
constexpr uint32_t kObjectHeaderSize = 64;  // PERF_OBJECT_TYPE
constexpr uint32_t kCounterDefSize = 40;    // PERF_COUNTER_DEFINITION
constexpr uint32_t kInstanceDefSize = 24;   // PERF_INSTANCE_DEFINITION

struct Instance {
    std::u16string name;
    uint32_t pid;
};

inline std::u16string Wide(const std::string& text) {
    std::u16string w;
    for (unsigned char c : text) w += char16_t(c);
    return w;
}

struct Layout {
    // Counter title indexes in definition order; the process id counter's
    // value sits in the 4 bytes at its CounterOffset.
    std::vector<uint32_t> counters{kProcessorTimeIndex, kIdProcessIndex, kThreadCountIndex};
    uint32_t pidCounter = kIdProcessIndex;
    // NumInstances as written; UINT32_MAX: the real count.
    uint32_t numInstancesField = UINT32_MAX;
};

struct Built {
    std::string bytes;
    uint32_t objectOffset = 0;
    std::vector<uint32_t> instanceOffsets;  // where each PERF_INSTANCE_DEFINITION starts
};

inline void Put32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = char((v >> (8 * i)) & 0xFF);
}
inline void Pad8(std::string& b) {
    while (b.size() % 8) b += '\0';
}

inline Built BuildBlock(const std::vector<Instance>& instances, const Layout& layout = Layout()) {
    Built out;
    std::string& b = out.bytes;
    // PERF_DATA_BLOCK followed by the system name.
    b.assign(kBlockHeaderSize, '\0');
    const char16_t sig[4] = {u'P', u'E', u'R', u'F'};
    for (int i = 0; i < 4; ++i) {
        b[2 * i] = char(sig[i] & 0xFF);
        b[2 * i + 1] = char(sig[i] >> 8);
    }
    Put32(b, 8, 1);    // LittleEndian
    Put32(b, 12, 1);   // Version
    Put32(b, 16, 1);   // Revision
    Put32(b, 28, 1);   // NumObjectTypes
    Put32(b, 32, kProcessObjectIndex);  // DefaultObject
    const std::u16string system = u"SIMHOST";
    Put32(b, 80, uint32_t((system.size() + 1) * 2));  // NameLength
    Put32(b, 84, kBlockHeaderSize);                   // NameOffset
    for (char16_t c : system) {
        b += char(c & 0xFF);
        b += char(c >> 8);
    }
    b += std::string(2, '\0');
    Pad8(b);
    const uint32_t headerLength = uint32_t(b.size());
    Put32(b, 24, headerLength);

    // PERF_OBJECT_TYPE and its counter definitions. Counter values are laid
    // out after the PERF_COUNTER_BLOCK's ByteLength, 8 bytes each.
    out.objectOffset = headerLength;
    const size_t object = b.size();
    b.append(kObjectHeaderSize, '\0');
    const uint32_t numCounters = uint32_t(layout.counters.size());
    for (uint32_t i = 0; i < numCounters; ++i) {
        const size_t def = b.size();
        b.append(kCounterDefSize, '\0');
        Put32(b, def + 0, kCounterDefSize);
        Put32(b, def + 4, layout.counters[i]);
        Put32(b, def + 12, layout.counters[i] + 1);  // help index
        Put32(b, def + 32, 4);                       // CounterSize
        Put32(b, def + 36, 8 + 8 * i);               // CounterOffset
    }
    const uint32_t definitionLength = uint32_t(b.size() - object);
    Put32(b, object + 4, definitionLength);
    Put32(b, object + 8, kObjectHeaderSize);
    Put32(b, object + 12, kProcessObjectIndex);
    Put32(b, object + 32, numCounters);
    Put32(b, object + 40, layout.numInstancesField == UINT32_MAX ? uint32_t(instances.size())
                                                                   : layout.numInstancesField);
    Put32(b, object + 44, 0);  // CodePage: UTF-16 names

    uint32_t pidSlot = 0;
    for (uint32_t i = 0; i < numCounters; ++i)
        if (layout.counters[i] == layout.pidCounter) {
            pidSlot = 8 + 8 * i;
            break;
        }
    for (const Instance& inst : instances) {
        const size_t at = b.size();
        out.instanceOffsets.push_back(uint32_t(at));
        b.append(kInstanceDefSize, '\0');
        for (char16_t c : inst.name) {
            b += char(c & 0xFF);
            b += char(c >> 8);
        }
        b += std::string(2, '\0');
        Pad8(b);
        Put32(b, at + 0, uint32_t(b.size() - at));  // ByteLength: definition and name
        Put32(b, at + 16, kInstanceDefSize);        // NameOffset
        Put32(b, at + 20, uint32_t((inst.name.size() + 1) * 2));
        const size_t counters = b.size();
        const uint32_t blockLength = 8 + 8 * numCounters;
        b.append(blockLength, '\0');
        Put32(b, counters, blockLength);
        for (uint32_t i = 0; i < numCounters; ++i) Put32(b, counters + 8 + 8 * i, 0x1111 * (i + 1));
        if (pidSlot) Put32(b, counters + pidSlot, inst.pid);
    }
    Put32(b, object + 0, uint32_t(b.size() - object));  // object TotalByteLength
    Put32(b, 20, uint32_t(b.size()));                   // block TotalByteLength
    return out;
}

// The perflib names: pairs of index and name, each ended by a zero byte,
// the list by an empty string.
inline std::string CountersText(
    const std::vector<std::pair<std::string, std::string>>& pairs = {
        {"1", "1847"},
        {"2", "System"},
        {std::to_string(kProcessorTimeIndex), "% Processor Time"},
        {std::to_string(kProcessObjectIndex), "Process"},
        {std::to_string(kThreadCountIndex), "Thread Count"},
        {std::to_string(kIdProcessIndex), "ID Process"},
    }) {
    std::string text;
    for (const auto& p : pairs) {
        text += p.first;
        text += '\0';
        text += p.second;
        text += '\0';
    }
    text += '\0';
    return text;
}

constexpr const char* kPerflibKey = "software\\microsoft\\windows nt\\currentversion\\perflib\\009";

// Plants both the names and the block into the machine.
inline void Install(pf::sim::SimMachine& m, const std::string& block,
                    const std::string& counters = CountersText()) {
    m.SetValue(pf::kHkeyLocalMachine, kPerflibKey, "Counters", pf::kRegMultiSz, counters);
    m.perfData = block;
}

// The instances the system would report for the machine's live processes:
// perfName, or the program's name without folder and extension.
inline std::vector<Instance> InstancesOf(const pf::sim::SimMachine& m) {
    std::vector<Instance> out;
    for (const pf::sim::SimProcess& p : m.processes) {
        if (!p.alive) continue;
        std::string name = p.perfName;
        if (name.empty()) {
            name = p.imagePath.substr(p.imagePath.find_last_of('\\') + 1);
            const size_t dot = name.find_last_of('.');
            if (dot != std::string::npos) name.resize(dot);
        }
        out.push_back({Wide(name), p.pid});
    }
    return out;
}

}  // namespace perftest
