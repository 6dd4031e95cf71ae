#pragma once

// Deletes a matched file: attributes, delete, end its processes and delete
// again, or schedule the deletion for the next start of the system.
void RemoveInfectedFile(const char* path, const char* detectionName);

// The removal of a process image the memory step has ended: reports the
// memory line, waits a second for the process to go, then removes the file.
void RemoveProcessImage(const char* path, const char* detectionName);
