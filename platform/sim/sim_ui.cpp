// Placeholder: the simulated message queue and questions. Replaced by the
// real model.
#include "platform/sim/sim_machine.h"

namespace pf::sim {
void SimMachine::PressKey(WPARAM, UINT) {}
void SimMachine::PostMessageToQueue(const Msg&) {}
BOOL SimMachine::PeekMessageA(Msg*, HWND, UINT, UINT, UINT) { return 0; }
BOOL SimMachine::TranslateMessage(const Msg*) { return 0; }
LRESULT SimMachine::DispatchMessageA(const Msg*) { return 0; }
LRESULT SimMachine::SendMessageA(HWND, UINT, WPARAM, LPARAM) { return 0; }
int SimMachine::MessageBoxA(HWND, const char*, const char*, UINT) { return kIdOk; }
int SimMachine::SkinMessageBox(const char*, const char*, UINT) { return defaultAnswer; }
}  // namespace pf::sim
