// The window's outline cut from its background bitmap, and the re-layout of
// its children to a design size.
#pragma once

#include <windows.h>

// A region of the pixels of `bitmap` that are not of `key` (coverNonKey) or
// that are (otherwise); null when the bitmap is missing or cannot be read.
// The caller owns the region.
HRGN CreateRegionFromBitmap(HBITMAP bitmap, COLORREF key, BOOL coverNonKey);

// Moves and resizes every child of `window` by the ratio between its client
// size and the design size; returns EnumChildWindows' result.
BOOL ScaleChildWindows(HWND window, int designWidth, int designHeight);
