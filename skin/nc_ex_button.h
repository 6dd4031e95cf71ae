// The message box's bitmap push button: a CSkinButton with the ordinary
// cursor.
#pragma once

#include "skin/skin_button.h"

class NCExButton : public CSkinButton {
    DECLARE_DYNAMIC(NCExButton)
};
