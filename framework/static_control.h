// A static text or picture control.
#pragma once

#include "framework/wnd.h"

class CStatic : public CWnd {
    DECLARE_DYNAMIC(CStatic)
};
