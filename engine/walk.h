#pragma once

#include <cstdint>

// One detector: a name, the inspection it runs on a file (a nonzero result
// ends the chain for that file), and the file lengths it can match: a file
// of any other length is never handed to it, nor opened for it.
struct DetectorEntry {
    const char* name;
    int (*inspect)(const char* name, const char* path);
    bool (*canMatchLength)(uint64_t length);
};

// Null-terminated; holds the single entry {"W32/Vendrika.Trojan", InspectFile,
// SignatureLengthAccepted}.
extern const DetectorEntry DetectorTable[];
// The table the walk runs (DetectorTable unless set; tests add detectors).
const DetectorEntry* Detectors();
void SetDetectors(const DetectorEntry* table);

// Whether any detector of the table can match a file of this length.
bool AnyDetectorAcceptsLength(uint64_t length);

// Visits every file below a search pattern ("C:\dir\*.*", or in memory mode
// an exact program path), files first, then subfolders depth first.
// Returns scannedCount, 0 when cancelled, -1 when a pattern lacks its ".".
int32_t WalkFolder(const char* pattern);

// Takes and handles at most one queued window message; Escape asks whether to
// stop, WM_QUIT and WM_DESTROY stop at once.
void PumpScanMessages();

// Writes src into dst shortened to at most `width` characters ("first..last").
// dst must hold width + 1 characters, or strlen(src) + 1 when src fits.
void ShortenPathForDisplay(const char* src, char* dst, int width);
