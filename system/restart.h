#pragma once

// Requests a forced reboot (privilege first on every class but the 9x family).
int RestartSystem();
