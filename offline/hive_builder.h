// Registry hives made from nothing: hivex opens and edits hives but cannot
// create one, so the empty hive (a base block and one bin holding the root
// key and its security record) is written from the documented format, then
// filled through hivex. For the tests and the demo volume.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace offline {

// A hive with a root key only.
void WriteEmptyHive(const std::string& path);
// Adds (through hivex) text values to a key path below the root, creating
// the keys; type 1 (REG_SZ) or 2 (REG_EXPAND_SZ).
bool SetHiveValues(const std::string& hive, const std::string& keyPath,
                   const std::vector<std::pair<std::string, std::string>>& values, int type = 1);
// Makes a hive look as Windows leaves one it was writing when it stopped (a
// crash, a power cut): its two sequence numbers differ, the newer changes
// only in its log, and its header checksum is brought up to date, so that a
// reader checking the checksum (hivex) takes it. False when it is no hive.
bool MarkHiveDirty(const std::string& path);
// The same for one REG_DWORD value.
bool SetHiveDword(const std::string& hive, const std::string& keyPath, const std::string& name,
                  unsigned value);

}  // namespace offline
