#pragma once

// Schedules the file's deletion for the next start of the system; 1 when
// scheduled.
int ScheduleDeleteOnReboot(const char* path);

// Adds the line "key=value" to the [rename] section of wininit.ini in the
// Windows folder, creating the file or the section when missing. True when
// the entry was written completely; on any failure the file keeps its
// earlier content.
bool AddWininitRenameEntry(const char* key, const char* value);

// Who writes the entry of the 95/98/Me family: AddWininitRenameEntry, unless
// a front end that reaches wininit.ini its own way sets another (the offline
// scanner, which works on a mounted volume). nullptr restores the default.
using WininitEntryWriter = bool (*)(const char* key, const char* value);
void SetWininitEntryWriter(WininitEntryWriter writer);
