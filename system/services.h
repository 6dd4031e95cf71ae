#pragma once

// Stops the named service. With `stop` 1: 1 when the service reached the
// stopped state. With `stop` 0: nothing is sent; 1 when the service could be
// opened. A service that stays stop-pending is given up on after
// kStopPollLimit status queries one second apart (result 0).
int StopService(const char* name, unsigned char stop);
constexpr int kStopPollLimit = 30;

// Deletes the service's keys in both numbered control sets (Enum, Security,
// then the service key itself, in each set). 1 when at least one went.
int DeleteServiceKeys(const char* name);

// RegDeleteKeyA on HKEY_LOCAL_MACHINE; 1 on ERROR_SUCCESS.
int DeleteMachineKey(const char* path);

// The guarded forms the memory step uses: a service is touched only when it
// runs the program file `image` as its own: its ImagePath (environment
// strings, \SystemRoot\ and \??\ resolved, quotes and arguments taken off)
// names the file, or, for a service hosted in a shared process (svchost -k),
// its ServiceDll does. A shared host's ImagePath names none of the services
// it hosts, and nothing is stopped or removed for a program of Windows itself
// (IsCriticalSystemProgram). The stop asks the service manager's
// configuration; the keys of each control set go only when that set's own
// key names the file.
int StopServiceOfImage(const char* name, const char* image);
int DeleteServiceKeysOfImage(const char* name, const char* image);
// `expand`: the text's environment strings are expanded first, as the
// service manager does for a REG_EXPAND_SZ ImagePath only: a REG_SZ one
// holding "%SystemRoot%" is run as written (CreateProcess finds no such
// folder), so it names no file under the Windows folder.
bool ImagePathNamesFile(const char* imagePath, const char* image, bool expand = true);

// Every service, in every numbered control set of the SYSTEM hive that
// exists, that runs the infected file `image` (the rule above): its whole key
// (every subkey, deepest first) is deleted, and each is told as removed or
// left. For a system that is not running (a mounted volume), where a worm
// service can only be cleaned through its keys. Returns how many keys were
// found.
int RemoveServicesOfImage(const char* image);
constexpr int kImagePathSize = 1024;
