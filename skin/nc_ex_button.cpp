#include "skin/nc_ex_button.h"

IMPLEMENT_DYNAMIC(NCExButton, CButton)
