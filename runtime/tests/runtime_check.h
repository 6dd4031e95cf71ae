// The product's own runtime, run for real: shared pieces of the check
// program (runtime_check.cpp).
#pragma once

// Every static constructor notes its letter here, in the order it ran. The
// record is zero-filled data, ready before any constructor.
void NoteConstructed(char letter);

struct Mark {
    explicit Mark(char letter) { NoteConstructed(letter); }
};
