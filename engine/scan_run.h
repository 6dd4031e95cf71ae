#pragma once

// One whole scan: the running processes first, then every fixed drive from
// C: to Z:, then the statistics and, when a deletion was postponed, the
// restart question. Always returns 1.
int RunScan();
