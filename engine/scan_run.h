#pragma once

// One whole scan: the running processes first, then every fixed drive from
// C: to Z:, then the statistics and, when a deletion was postponed, the
// restart question. Always returns 1.
//
// `folders`, when given, is a list of search patterns ("D:\Data\*.*"),
// ended by a null entry, walked instead of the fixed drives (the memory step
// and the cleanup stay those of the whole machine).
int RunScan(const char* const* folders = nullptr);
