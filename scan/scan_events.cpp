#include "scan/scan_events.h"

namespace scan {
namespace {
Listener g_silent;
Listener* g_listener = nullptr;
}  // namespace

Listener& Events() { return g_listener ? *g_listener : g_silent; }

Listener* SetListener(Listener* listener) {
    Listener* previous = g_listener;
    g_listener = listener;
    return previous;
}

}  // namespace scan
