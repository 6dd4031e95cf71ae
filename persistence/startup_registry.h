#pragma once

// After every match: checks the hosts file and removes the start-up values
// that launch the inspected file. Returns 1.
int CleanPersistence(const char* detectionName);
