// The simulated machine's side of the main window: the message queue the
// scan pumps, the window procedure that receives sent and dispatched
// messages, and the questions put to the user with their scripted answers.
#include "platform/sim/sim_machine.h"

namespace pf::sim {
namespace {
constexpr UINT kMbTypeMask = 0x0F;

bool InRange(UINT message, UINT filterMin, UINT filterMax) {
    if (filterMin == 0 && filterMax == 0) return true;
    return message >= filterMin && message <= filterMax;
}
}  // namespace

void SimMachine::PressKey(WPARAM key, UINT message) {
    Msg msg{};
    msg.message = message;
    msg.wParam = key;
    PostMessageToQueue(msg);
}

void SimMachine::TypeKey(WPARAM key) {
    PressKey(key, kWmKeyDown);
    PressKey(key, kWmKeyUp);
}

void SimMachine::PostMessageToQueue(const Msg& msg) {
    Msg queued = msg;
    queued.time = clock;
    messageQueue.push_back(queued);
}

BOOL SimMachine::PeekMessageA(Msg* msg, HWND window, UINT filterMin, UINT filterMax,
                              UINT removeFlags) {
    if (Enter("PeekMessageA")) return 0;
    for (auto it = messageQueue.begin(); it != messageQueue.end(); ++it) {
        if (window && it->hwnd != window) continue;
        if (!InRange(it->message, filterMin, filterMax)) continue;
        if (msg) *msg = *it;
        if (removeFlags & kPmRemove) messageQueue.erase(it);
        return 1;
    }
    return 0;
}

BOOL SimMachine::TranslateMessage(const Msg* msg) {
    Enter("TranslateMessage", msg ? std::to_string(msg->message) : std::string());
    // Only key-down messages produce a character message; the keys that
    // stand for a control character post it, as the system does.
    if (!msg || msg->message != kWmKeyDown) return 0;
    const WPARAM key = msg->wParam;
    if (key == 8 || key == 9 || key == 13 || key == kVkEscape || key == 32) {
        Msg character = *msg;
        character.message = kWmChar;
        PostMessageToQueue(character);
    }
    return 1;
}

LRESULT SimMachine::DispatchMessageA(const Msg* msg) {
    if (Enter("DispatchMessageA", msg ? std::to_string(msg->message) : std::string()) || !msg)
        return 0;
    if (!windowProc) return 0;
    return windowProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT SimMachine::SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (const Fault* f = Enter("SendMessageA", std::to_string(message))) {
        lastError = f->error ? f->error : kErrorInvalidWindowHandle;
        return 0;
    }
    if (!window) {
        lastError = kErrorInvalidWindowHandle;
        return 0;
    }
    if (!windowProc) return 0;
    return windowProc(window, message, wParam, lParam);
}

namespace {
int Ask(SimMachine& m, const char* text, const char* caption, UINT flags, bool skinned) {
    Question q;
    q.text = text ? text : "";
    q.title = caption ? caption : "";
    q.flags = flags;
    q.skinned = skinned;
    q.atTime = m.clock;
    m.questions.push_back(q);
    if (m.onQuestion) m.onQuestion(q);
    if (!m.answers.empty()) {
        const int answer = m.answers.front();
        m.answers.pop_front();
        return answer;
    }
    // A box with only an OK button can only be answered with OK.
    return (flags & kMbTypeMask) == kMbOk ? kIdOk : m.defaultAnswer;
}
}  // namespace

int SimMachine::MessageBoxA(HWND owner, const char* text, const char* caption, UINT flags) {
    if (const Fault* f = Enter("MessageBoxA", text ? text : "")) {
        lastError = f->error ? f->error : kErrorNotEnoughMemory;
        return 0;  // the system box could not be shown
    }
    return Ask(*this, text, caption, flags, false);
}

int SimMachine::SkinMessageBox(const char* text, const char* title, UINT flags) {
    // A dialog that cannot be created answers -1, as a failed modal dialog does.
    if (Enter("SkinMessageBox", text ? text : "")) return -1;
    return Ask(*this, text, title, flags, true);
}

}  // namespace pf::sim
