#include "framework/static_control.h"

IMPLEMENT_DYNAMIC(CStatic, CWnd)
