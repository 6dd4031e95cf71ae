#include "framework/font.h"

BOOL CFont::CreateFontIndirect(const LOGFONTA* description) {
    return Attach(::CreateFontIndirectA(description));
}
