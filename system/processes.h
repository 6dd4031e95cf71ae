#pragma once

// Ends every process that runs the given program file, by the method the
// Windows generation offers. 1: the caller may try the deletion again.
int TerminateProcessesByPath(const char* path);
