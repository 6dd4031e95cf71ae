// The simulated registry: one HKEY_LOCAL_MACHINE tree of keys with typed
// values, handles to open keys, and HKEY_PERFORMANCE_DATA answering a fixed
// block of bytes. Names are compared without regard to letter case, as the
// real registry does, in the machine's ANSI code page (a double-byte
// character is never folded, nor split at a trail byte 0x5C); results are
// Win32 error codes.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/crt.h"
#include "platform/sim/sim_machine.h"

namespace pf::sim {

namespace {

constexpr LONG kErrorKeyDeleted = 1018;  // a handle whose key was deleted since

bool SameName(const std::string& a, const char* b, const crt::LeadBytes& leads) {
    return crt::SameName(a.c_str(), b, leads);
}

// Splits "A\B\C" into its parts; empty parts (doubled or trailing
// backslashes) are passed over.
std::vector<std::string> SplitPath(const std::string& path, const crt::LeadBytes& leads) {
    std::vector<std::string> parts;
    std::string part;
    for (size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        if (leads.IsLead((unsigned char)c) && i + 1 < path.size()) {
            part += c;
            part += path[++i];
        } else if (c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

RegKey* FindChild(RegKey* key, const std::string& name, const crt::LeadBytes& leads) {
    for (auto& sub : key->subkeys)
        if (SameName(sub->name, name.c_str(), leads)) return sub.get();
    return nullptr;
}

RegKey* Walk(RegKey* from, const std::string& path, const crt::LeadBytes& leads) {
    RegKey* key = from;
    for (const std::string& part : SplitPath(path, leads)) {
        key = FindChild(key, part, leads);
        if (!key) return nullptr;
    }
    return key;
}

RegValue* FindValueIn(RegKey* key, const char* name, const crt::LeadBytes& leads) {
    const char* wanted = name ? name : "";  // null names the default value
    for (RegValue& v : key->values)
        if (SameName(v.name, wanted, leads)) return &v;
    return nullptr;
}

// Answers `bytes` the way RegQueryValueExA does: size only when no buffer is
// given, ERROR_MORE_DATA with the needed size when the buffer is too small.
LONG AnswerData(const std::string& bytes, BYTE* data, DWORD* dataSize) {
    const DWORD needed = static_cast<DWORD>(bytes.size());
    if (!data) {
        if (dataSize) *dataSize = needed;
        return kErrorSuccess;
    }
    if (!dataSize) return static_cast<LONG>(kErrorInvalidParameter);
    if (*dataSize < needed) {
        *dataSize = needed;
        return static_cast<LONG>(kErrorMoreData);
    }
    if (needed) std::memcpy(data, bytes.data(), needed);
    *dataSize = needed;
    return kErrorSuccess;
}

LONG FaultResult(const Fault* f, DWORD usual) { return static_cast<LONG>(f->error ? f->error : usual); }

// Access rights of key handles, as the NT family checks them.
constexpr DWORD kKeyQueryValue = 0x0001;
constexpr DWORD kKeySetValue = 0x0002;
constexpr DWORD kKeyCreateSubKey = 0x0004;
constexpr DWORD kKeyEnumerateSubKeys = 0x0008;
constexpr DWORD kKeyCreateLink = 0x0020;
constexpr DWORD kDelete = 0x00010000;
constexpr DWORD kWriteDac = 0x00040000;
constexpr DWORD kWriteOwner = 0x00080000;
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kGenericWrite = 0x40000000;
constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kKeyWrite = 0x20006;
constexpr DWORD kKeyWriteRights =
    kKeySetValue | kKeyCreateSubKey | kKeyCreateLink | kDelete | kWriteDac | kWriteOwner;

// Generic rights stand for the key rights they map to.
DWORD MapKeyAccess(DWORD access) {
    DWORD mapped = access & 0x00FFFFFFu;
    if (access & kGenericRead) mapped |= kKeyRead;
    if (access & kGenericWrite) mapped |= kKeyWrite;
    if (access & kGenericAll) mapped |= kKeyAllAccess;
    return mapped;
}

}  // namespace

// ---- set-up helpers ----

RegKey* SimMachine::CreateKey(HKEY root, const std::string& path) {
    if (root != kHkeyLocalMachine) return nullptr;
    RegKey* key = &hklm;
    for (const std::string& part : SplitPath(path, Leads())) {
        RegKey* child = FindChild(key, part, Leads());
        if (!child) {
            key->subkeys.push_back(std::make_unique<RegKey>());
            child = key->subkeys.back().get();
            child->name = part;
        }
        key = child;
    }
    return key;
}

RegKey* SimMachine::FindKey(HKEY root, const std::string& path) {
    if (root != kHkeyLocalMachine) return nullptr;
    return Walk(&hklm, path, Leads());
}

void SimMachine::SetValue(HKEY root, const std::string& key, const std::string& name, DWORD type,
                          const std::string& data) {
    RegKey* k = CreateKey(root, key);
    if (!k) return;
    if (RegValue* v = FindValueIn(k, name.c_str(), Leads())) {
        v->type = type;
        v->data = data;
        return;
    }
    RegValue v;
    v.name = name;
    v.type = type;
    v.data = data;
    k->values.push_back(std::move(v));
}

void SimMachine::SetString(HKEY root, const std::string& key, const std::string& name,
                           const std::string& text, DWORD type) {
    SetValue(root, key, name, type, text + std::string(1, '\0'));
}

RegValue* SimMachine::FindValue(HKEY root, const std::string& key, const std::string& name) {
    RegKey* k = FindKey(root, key);
    return k ? FindValueIn(k, name.c_str(), Leads()) : nullptr;
}

// ---- the registry calls ----

// The key behind a handle: a predefined root or a handle from RegOpenKeyExA.
// `deleted` tells a handle whose key has gone from one that never existed.
static RegKey* Resolve(SimMachine& m, HKEY handle, bool* deleted) {
    *deleted = false;
    if (handle == kHkeyLocalMachine) return &m.hklm;
    auto it = m.openKeys.find(reinterpret_cast<uintptr_t>(handle));
    if (it == m.openKeys.end()) return nullptr;
    if (!it->second) *deleted = true;
    return it->second;
}

static LONG BadHandle(bool deleted) {
    return deleted ? kErrorKeyDeleted : static_cast<LONG>(kErrorInvalidHandle);
}

// The NT family refuses an operation the handle was not opened for; the
// 95/98/Me registry has no security and ignores the rights asked for. The
// predefined root stands open with every right.
static bool HandleAllows(SimMachine& m, HKEY handle, DWORD needed) {
    if (m.version.dwPlatformId != kVerPlatformWin32Nt) return true;
    if (handle == kHkeyLocalMachine) return true;
    const auto it = m.openKeyAccess.find(reinterpret_cast<uintptr_t>(handle));
    return it != m.openKeyAccess.end() && (it->second & needed) == needed;
}

static bool LimitedOnNt(const SimMachine& m) {
    return m.limitedUser && m.version.dwPlatformId == kVerPlatformWin32Nt;
}

// On the NT family SYSTEM\CurrentControlSet is a link to the control set
// that Select\Current names (ControlSet001 when it names none); a test that
// planted the key itself under that name keeps it.
std::string SimMachine::CurrentControlSetAlias(const std::string& path) {
    const std::vector<std::string> parts = SplitPath(path, Leads());
    if (version.dwPlatformId != kVerPlatformWin32Nt || parts.size() < 2 || !SameName(parts[0], "SYSTEM", Leads()) ||
        !SameName(parts[1], "CurrentControlSet", Leads()) || FindKey(kHkeyLocalMachine, "SYSTEM\\CurrentControlSet"))
        return path;
    unsigned current = 1;
    const RegValue* select = FindValue(kHkeyLocalMachine, "SYSTEM\\Select", "Current");
    if (select && select->type == kRegDword && select->data.size() == 4)
        std::memcpy(&current, select->data.data(), 4);
    char set[32];
    std::snprintf(set, sizeof set, "SYSTEM\\ControlSet%03u", current % 1000);
    std::string aliased = set;
    for (size_t i = 2; i < parts.size(); ++i) aliased += "\\" + parts[i];
    return aliased;
}

LONG SimMachine::RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, DWORD access,
                               HKEY* result) {
    const std::string path = subKey ? subKey : "";
    char asked[64];
    std::snprintf(asked, sizeof asked, "RegOpenKeyExA 0x%x ", unsigned(access));
    rightsAsked.push_back(asked + path);
    if (const Fault* f = Enter("RegOpenKeyExA", path)) return FaultResult(f, kErrorAccessDenied);
    if (!result) return static_cast<LONG>(kErrorInvalidParameter);
    *result = nullptr;
    bool deleted = false;
    RegKey* from = Resolve(*this, root, &deleted);
    if (!from) return BadHandle(deleted);
    RegKey* key = Walk(from, from == &hklm ? CurrentControlSetAlias(path) : path, Leads());
    if (!key) return static_cast<LONG>(kErrorFileNotFound);
    if (key->denyOpen) return static_cast<LONG>(kErrorAccessDenied);
    const DWORD rights = MapKeyAccess(access);
    // HKEY_LOCAL_MACHINE is read-only to a limited account.
    if (LimitedOnNt(*this) && (rights & kKeyWriteRights)) return static_cast<LONG>(kErrorAccessDenied);
    const uintptr_t h = NewHandle();
    openKeys[h] = key;
    openKeyAccess[h] = rights;
    *result = reinterpret_cast<HKEY>(h);
    return kErrorSuccess;
}

LONG SimMachine::RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type,
                                  BYTE* data, DWORD* dataSize) {
    if (const Fault* f = Enter("RegQueryValueExA", valueName ? valueName : ""))
        return FaultResult(f, kErrorAccessDenied);
    if (key == kHkeyPerformanceData) {
        // Any value name answers the whole block (the object list is not
        // filtered here).
        ++perfQueries;
        if (type) *type = kRegBinary;
        return AnswerData(perfData, data, dataSize);
    }
    bool deleted = false;
    RegKey* k = Resolve(*this, key, &deleted);
    if (!k) return BadHandle(deleted);
    if (!HandleAllows(*this, key, kKeyQueryValue)) return static_cast<LONG>(kErrorAccessDenied);
    RegValue* v = FindValueIn(k, valueName, Leads());
    if (!v) return static_cast<LONG>(kErrorFileNotFound);
    if (v->failRead) return static_cast<LONG>(kErrorAccessDenied);
    if (type) *type = v->type;
    return AnswerData(v->data, data, dataSize);
}

LONG SimMachine::RegQueryInfoKeyA(HKEY key, DWORD* subKeys, DWORD* values) {
    if (const Fault* f = Enter("RegQueryInfoKeyA")) return FaultResult(f, kErrorAccessDenied);
    bool deleted = false;
    RegKey* k = Resolve(*this, key, &deleted);
    if (!k) return BadHandle(deleted);
    if (!HandleAllows(*this, key, kKeyQueryValue)) return static_cast<LONG>(kErrorAccessDenied);
    if (subKeys) *subKeys = static_cast<DWORD>(k->subkeys.size());
    if (values) *values = static_cast<DWORD>(k->values.size());
    return kErrorSuccess;
}

LONG SimMachine::RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameSize,
                               DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataSize) {
    if (const Fault* f = Enter("RegEnumValueA", std::to_string(index)))
        return FaultResult(f, kErrorAccessDenied);
    bool deleted = false;
    RegKey* k = Resolve(*this, key, &deleted);
    if (!k) return BadHandle(deleted);
    if (!HandleAllows(*this, key, kKeyQueryValue)) return static_cast<LONG>(kErrorAccessDenied);
    if (!name || !nameSize) return static_cast<LONG>(kErrorInvalidParameter);
    if (index >= k->values.size()) return static_cast<LONG>(kErrorNoMoreItems);
    const RegValue& v = k->values[index];
    // The name buffer's size counts characters, terminator included.
    if (v.name.size() + 1 > *nameSize) return static_cast<LONG>(kErrorMoreData);
    if (data && !dataSize) return static_cast<LONG>(kErrorInvalidParameter);
    if (data && *dataSize < v.data.size()) {
        *dataSize = static_cast<DWORD>(v.data.size());
        return static_cast<LONG>(kErrorMoreData);
    }
    std::memcpy(name, v.name.c_str(), v.name.size() + 1);
    *nameSize = static_cast<DWORD>(v.name.size());
    if (type) *type = v.type;
    if (dataSize) {
        if (data && !v.data.empty()) std::memcpy(data, v.data.data(), v.data.size());
        *dataSize = static_cast<DWORD>(v.data.size());
    }
    return kErrorSuccess;
}

LONG SimMachine::RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize) {
    if (const Fault* f = Enter("RegEnumKeyExA", std::to_string(index)))
        return FaultResult(f, kErrorAccessDenied);
    bool deleted = false;
    RegKey* k = Resolve(*this, key, &deleted);
    if (!k) return BadHandle(deleted);
    // Listing subkeys needs KEY_ENUMERATE_SUB_KEYS (part of KEY_READ).
    if (!HandleAllows(*this, key, kKeyEnumerateSubKeys)) return static_cast<LONG>(kErrorAccessDenied);
    if (!name || !nameSize) return static_cast<LONG>(kErrorInvalidParameter);
    if (index >= k->subkeys.size()) return static_cast<LONG>(kErrorNoMoreItems);
    const std::string& child = k->subkeys[index]->name;
    if (child.size() + 1 > *nameSize) return static_cast<LONG>(kErrorMoreData);
    std::memcpy(name, child.c_str(), child.size() + 1);
    *nameSize = static_cast<DWORD>(child.size());
    return kErrorSuccess;
}

LONG SimMachine::RegDeleteValueA(HKEY key, const char* valueName) {
    if (const Fault* f = Enter("RegDeleteValueA", valueName ? valueName : ""))
        return FaultResult(f, kErrorAccessDenied);
    bool deleted = false;
    RegKey* k = Resolve(*this, key, &deleted);
    if (!k) return BadHandle(deleted);
    if (!HandleAllows(*this, key, kKeySetValue)) return static_cast<LONG>(kErrorAccessDenied);
    RegValue* v = FindValueIn(k, valueName, Leads());
    if (!v) return static_cast<LONG>(kErrorFileNotFound);
    if (v->failDelete) return static_cast<LONG>(kErrorAccessDenied);
    k->values.erase(k->values.begin() + (v - k->values.data()));
    return kErrorSuccess;
}

LONG SimMachine::RegDeleteKeyA(HKEY root, const char* subKey) {
    const std::string path = subKey ? subKey : "";
    if (const Fault* f = Enter("RegDeleteKeyA", path)) return FaultResult(f, kErrorAccessDenied);
    bool deleted = false;
    RegKey* from = Resolve(*this, root, &deleted);
    if (!from) return BadHandle(deleted);
    std::vector<std::string> parts = SplitPath(path, Leads());
    if (parts.empty()) return static_cast<LONG>(kErrorAccessDenied);  // not the root itself
    const std::string leaf = parts.back();
    parts.pop_back();
    RegKey* parent = from;
    for (const std::string& part : parts) {
        parent = FindChild(parent, part, Leads());
        if (!parent) return static_cast<LONG>(kErrorFileNotFound);
    }
    auto it = std::find_if(parent->subkeys.begin(), parent->subkeys.end(),
                           [&](const std::unique_ptr<RegKey>& k) {
                               return SameName(k->name, leaf.c_str(), Leads());
                           });
    if (it == parent->subkeys.end()) return static_cast<LONG>(kErrorFileNotFound);
    const bool nt = version.dwPlatformId == kVerPlatformWin32Nt;
    if (nt) {
        // A limited account may not delete machine keys; NT refuses a key
        // that still has subkeys. The 95/98/Me family deletes the whole tree.
        if (limitedUser || !(*it)->subkeys.empty()) return static_cast<LONG>(kErrorAccessDenied);
    }
    // Handles still open on the key (or, on 9x, anywhere in its tree) stay
    // valid as handles but name a deleted key.
    std::vector<const RegKey*> gone{it->get()};
    for (size_t i = 0; i < gone.size(); ++i)
        for (const auto& sub : gone[i]->subkeys) gone.push_back(sub.get());
    for (auto& open : openKeys)
        if (std::find(gone.begin(), gone.end(), open.second) != gone.end()) open.second = nullptr;
    parent->subkeys.erase(it);
    return kErrorSuccess;
}

LONG SimMachine::RegCloseKey(HKEY key) {
    if (const Fault* f = Enter("RegCloseKey")) return FaultResult(f, kErrorInvalidHandle);
    if (key == kHkeyPerformanceData || key == kHkeyLocalMachine) return kErrorSuccess;
    auto it = openKeys.find(reinterpret_cast<uintptr_t>(key));
    if (it == openKeys.end()) return static_cast<LONG>(kErrorInvalidHandle);
    openKeyAccess.erase(it->first);
    openKeys.erase(it);
    return kErrorSuccess;
}

}  // namespace pf::sim
