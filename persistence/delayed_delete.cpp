#include "persistence/delayed_delete.h"

// Seam until the delayed deletion exists: schedules nothing.
int ScheduleDeleteOnReboot(const char*) { return 0; }
