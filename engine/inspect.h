#pragma once

#include <cstdint>

// The inspection of one file against the signature table; 1 on a match.
int InspectFile(const char* detectionName, const char* path);
// Reads the PE headers of the open file into the inspection state.
bool ReadPeHeaders(int fd);
// Maps a relative virtual address to a file offset through the section table.
uint32_t RvaToFileOffset(uint32_t rva, int fd);
