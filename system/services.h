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
