// What the scan did, said once, as it happens: the events of the core (the
// walk, the inspection, the memory step and the cleanup). The core never
// words a front end's text; each front end is a listener that words the
// events its own way (the window's result lines and status texts, the text
// and JSON of vendrika-scan, ...).
//
// One listener is installed, as the platform is; with none installed the
// events go nowhere. Texts are valid only during the call.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace scan {

// The family every detection of this cleaner belongs to.
constexpr const char kFamilyName[] = "W32/Vendrika.Trojan";

// Where an infection was met.
enum class Where {
    kFile,       // a file of the walk
    kMemory,     // the program file of a running process
    kHostsFile,  // the hosts file, by its text signature
};

// How a start-up value was found to launch the infected file.
enum class Naming {
    kFullPath,        // its command names the file's path
    kBareName,        // its command is the bare name of a file in a system folder
    kRememberedName,  // it bears the name of a value removed earlier in this scan
};

struct StartupValue {
    pf::HKEY root;
    const char* key;        // "Software\Microsoft\Windows\CurrentVersion\Run"
    const char* valueName;
    const char* data;       // its command, as read
    const char* file;       // the infected file it launches
    const char* detectionName;
    Naming naming;
};

// A service whose ImagePath names an infected file.
struct Service {
    const char* name;
    const char* image;      // the infected file
    const char* controlSet; // "ControlSet001"; null for the running service
};

// How a deletion was left to the next start of the system.
enum class Scheduled {
    kMoveFileEx,  // MoveFileExA(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT)
    kWininit,     // an entry in the [rename] section of WININIT.INI
};

// Why a restart was asked for.
enum class RestartFor {
    kPendingDeletion,  // files wait for the next start to be deleted
    kWormService,      // a worm service lost its keys while it runs on
};

struct Statistics {
    int32_t scanned;
    int32_t infected;
    int32_t removed;
};

class Listener {
public:
    virtual ~Listener() = default;

    // The walk has reached this path (every entry it lists).
    virtual void Scanning(const char* path) { (void)path; }
    // An infected file: matched by the detector `name`. Said once per
    // match, before its cleanup and removal.
    virtual void Found(const char* path, const char* name, Where where) {
        (void)path, (void)name, (void)where;
    }
    // The infected file was deleted.
    virtual void Removed(const char* path, const char* name, Where where) {
        (void)path, (void)name, (void)where;
    }
    // It could not be deleted now; `error` is the system's error of the
    // last attempt.
    virtual void NotRemoved(const char* path, const char* name, Where where, pf::DWORD error) {
        (void)path, (void)name, (void)where, (void)error;
    }
    // Its deletion waits for the next start of the system: `entry` is what
    // was written (the path given to MoveFileExA, or the value of the
    // WININIT.INI entry, a short name where the system needs one).
    virtual void DeletionScheduled(const char* path, Scheduled how, const char* entry) {
        (void)path, (void)how, (void)entry;
    }
    // The memory step ended a process running the infected file, or could not.
    virtual void ProcessEnded(const char* path) { (void)path; }
    virtual void ProcessNotEnded(const char* path) { (void)path; }
    // An infected file the cleaner leaves as it is, process and file: its
    // own program file (to be replaced from clean media), or a program of
    // the system it cannot run without (`restoreWithSfc`: the system has
    // System File Checker, 2000 and later). Said once per file.
    virtual void OwnProgramInfected(const char* path, const char* name) { (void)path, (void)name; }
    virtual void SystemProgramInfected(const char* path, const char* name, bool restoreWithSfc) {
        (void)path, (void)name, (void)restoreWithSfc;
    }
    // A start-up value launching an infected file: deleted, or left with
    // the registry's error (a report-only front end refuses every deletion).
    virtual void StartupValueRemoved(const StartupValue& value) { (void)value; }
    virtual void StartupValueLeft(const StartupValue& value, pf::LONG error) {
        (void)value, (void)error;
    }
    // A worm service: stopped; its keys deleted (the whole key, in one
    // control set), or left.
    virtual void ServiceStopped(const Service& service) { (void)service; }
    virtual void ServiceKeysRemoved(const Service& service) { (void)service; }
    virtual void ServiceKeysLeft(const Service& service, pf::LONG error) {
        (void)service, (void)error;
    }
    // The walk of every drive is over (or was stopped): the counts, then
    // the end itself.
    virtual void StatisticsReady(const Statistics& statistics) { (void)statistics; }
    virtual void Ended(bool cancelled) { (void)cancelled; }
    // A restart would finish the removal; then the user's Yes, and whether
    // the system took the request.
    virtual void RestartNeeded(RestartFor why) { (void)why; }
    virtual void RestartRequested(RestartFor why, bool taken) { (void)why, (void)taken; }
};

// The listener the core tells; never null (a silent one when none is set).
Listener& Events();
// Installs a listener (null: none); returns the previous one.
Listener* SetListener(Listener* listener);

}  // namespace scan
