// The machine's process-wide parts: fault injection, the call log, handles,
// memory blocks, the virtual clock and exit.
#include "platform/sim/sim_machine.h"

#include <cstdlib>
#include <cstring>

#include "platform/crt.h"

namespace pf::sim {

SimMachine::SimMachine() {
    SetVersion(WinVersion::WinXp);
    SetDriveType('C', kDriveFixed);
}

SimMachine::~SimMachine() = default;

const Fault* SimMachine::Enter(const char* op, const std::string& arg) {
    Call call{op, arg, false};
    const Fault* hit = nullptr;
    for (Fault& f : faults) {
        if (f.op != op) continue;
        ++f.seen;
        if (f.seen == f.nth || (f.persistent && f.seen > f.nth)) {
            if (!hit) hit = &f;
        }
    }
    call.failedByFault = hit != nullptr;
    if (logEnabled) log.push_back(std::move(call));
    return hit;
}

void SimMachine::FailCall(const std::string& op, int nth, bool persistent, DWORD error) {
    Fault f;
    f.op = op;
    f.nth = nth < 1 ? 1 : nth;
    f.persistent = persistent;
    f.error = error;
    faults.push_back(f);
}

int SimMachine::CountCalls(const std::string& op) const {
    int n = 0;
    for (const Call& c : log)
        if (c.op == op) ++n;
    return n;
}

std::vector<std::string> SimMachine::CallNames() const {
    std::vector<std::string> names;
    names.reserve(log.size());
    for (const Call& c : log) names.push_back(c.op);
    return names;
}

uintptr_t SimMachine::NewHandle() {
    nextHandle_ += 4;
    return nextHandle_;
}

// Letters are folded, the bytes of a double-byte character never.
std::string SimMachine::Key(const std::string& path) const {
    const crt::LeadBytes leads = Leads();
    std::string key = path;
    for (size_t i = 0; i < key.size(); ++i) {
        if (leads.IsLead((unsigned char)key[i]))
            ++i;
        else
            key[i] = crt::ToUpper(key[i]);
    }
    return key;
}

std::string SimMachine::Parent(const std::string& path) const {
    const char* slash = crt::FindLastChar(path.c_str(), '\\', Leads());
    if (!slash) return std::string();
    const size_t at = size_t(slash - path.c_str());
    if (at <= 2) return path.substr(0, 3);  // "C:\name" -> "C:\"
    return path.substr(0, at);
}

void* SimMachine::GlobalAlloc(UINT flags, size_t bytes) {
    if (const Fault* f = Enter("GlobalAlloc", std::to_string(bytes))) {
        lastError = f->error ? f->error : kErrorNotEnoughMemory;
        return nullptr;
    }
    void* block = (flags & kGmemZeroinit) ? std::calloc(1, bytes ? bytes : 1)
                                          : std::malloc(bytes ? bytes : 1);
    if (block) ++liveAllocations;
    return block;
}

void* SimMachine::GlobalFree(void* block) {
    Enter("GlobalFree");
    if (block) {
        std::free(block);
        --liveAllocations;
    }
    return nullptr;
}

void SimMachine::Sleep(DWORD milliseconds) {
    Enter("Sleep", std::to_string(milliseconds));
    sleeps.push_back(milliseconds);
    clock += milliseconds;
    if (onSleep) onSleep(milliseconds);
}

void SimMachine::exit(int code) {
    Enter("exit", std::to_string(code));
    throw ProcessExit{code};
}

}  // namespace pf::sim
