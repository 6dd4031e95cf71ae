#pragma once

// Schedules the file's deletion for the next start of the system; 1 when
// scheduled.
int ScheduleDeleteOnReboot(const char* path);
