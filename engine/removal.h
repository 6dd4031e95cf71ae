#pragma once

// Deletes a matched file: attributes, delete, end its processes and delete
// again, or schedule the deletion for the next start of the system.
void RemoveInfectedFile(const char* path, const char* detectionName);
