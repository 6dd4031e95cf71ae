#pragma once

#include <cstddef>
#include <string>

// Schedules the file's deletion for the next start of the system; 1 when
// scheduled.
int ScheduleDeleteOnReboot(const char* path);

// Adds the line "key=value" to the [rename] section of wininit.ini in the
// Windows folder, creating the file or the section when missing. True when
// the entry was written completely; on any failure the file keeps its
// earlier content.
bool AddWininitRenameEntry(const char* key, const char* value);

// Where a "key=value" entry goes in the bytes of a wininit.ini: at the end
// of its [rename] section, before the header that follows it; else at the
// end of the text (which stops at a DOS end-of-file mark), after a line end
// when the last line has none, under a [rename] header of its own when the
// file has none. Every other byte stays as it is. The one rule every writer
// of the entry follows.
struct RenameEntryPlace {
    size_t at;          // the entry (and what goes before it) is inserted here
    bool lineEndFirst;  // "\r\n" before it: the text's last line has no line end
    bool headerFirst;   // "[rename]\r\n" before it: the file has no such section
};
RenameEntryPlace PlaceRenameEntry(const char* text, size_t length);

// The bytes of a wininit.ini with "key=value" in its place (for a writer
// that holds the whole file, such as the offline one).
inline std::string WithRenameEntry(const std::string& old, const std::string& key, const std::string& value) {
    const RenameEntryPlace place = PlaceRenameEntry(old.data(), old.size());
    return old.substr(0, place.at) + (place.lineEndFirst ? "\r\n" : "") +
           (place.headerFirst ? "[rename]\r\n" : "") + key + "=" + value + "\r\n" + old.substr(place.at);
}

// Who writes the entry of the 95/98/Me family: AddWininitRenameEntry, unless
// a front end that reaches wininit.ini its own way sets another (the offline
// scanner, which works on a mounted volume). nullptr restores the default.
using WininitEntryWriter = bool (*)(const char* key, const char* value);
void SetWininitEntryWriter(WininitEntryWriter writer);
