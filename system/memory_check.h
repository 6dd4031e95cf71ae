#pragma once

// The first step of every scan: looks for the infection in the program files
// of the running processes. May end the program on the NT family.
void RunMemoryCheck();
