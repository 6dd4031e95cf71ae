// What both command-line front ends (vendrika-scan on Linux, vendrika-scan.exe
// on Windows) say alike: the exit statuses and the JSON objects of a
// detection and of the summary.
#pragma once

#include <string>

#include "offline/output_text.h"

namespace offline {

// The version both front ends give (--version, the JSON summary).
constexpr char kVersionNumber[] = "1.0";

// Exit statuses.
constexpr int kExitClean = 0;     // nothing found
constexpr int kExitFound = 1;     // found (and with --remove, all of it removed)
constexpr int kExitTrouble = 2;   // not removed, not read or examined, interrupted, wrong arguments
constexpr int kExitRestart = 3;   // removed what could be now; a restart of Windows finishes it

// Scanners use -r for "recursive"; here it must never delete.
constexpr char kShortRemoveRefused[] =
    "'-r' is refused: removal has no short option, it is '--remove' (every PATH is scanned with all its folders)";

// A detection and what became of it ("found", "removed", "not_removed",
// "would_remove", ...). `type` is "detection", or "hosts" for a hosts file
// that report-only leaves.
inline std::string DetectionObject(const std::string& path, const std::string& windowsPath, const std::string& name,
                                   const char* action, const char* type = "detection") {
    return JsonObject(type).Text("path", path).Text("windows_path", windowsPath).Text("name", name)
        .Text("action", action).Done();
}

// The summary's common fields; each front end adds its own, then exit_code.
inline JsonObject SummaryObject(long scanned, long infected, long removed, long problems) {
    JsonObject o("summary");
    o.Text("version", kVersionNumber).Number("scanned", scanned).Number("infected", infected).Number("removed", removed)
        .Number("problems", problems);
    return o;
}

}  // namespace offline
