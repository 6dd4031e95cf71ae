#include "app/scan_control_logic.h"

namespace app {

bool ScanControl::Start() {
    if (phase_ != ScanPhase::kReady) return false;
    phase_ = ScanPhase::kStarting;
    return true;
}

bool ScanControl::TickStartsRun(uintptr_t id) const {
    return id == kScanTimerId && Scanning() && !runBegun_ && questionsOpen_ == 0;
}

bool ScanControl::BeginRun() {
    runBegun_ = true;
    if (phase_ == ScanPhase::kStopping) return false;
    phase_ = ScanPhase::kScanning;
    return true;
}

void ScanControl::QuestionClosed(bool stop) {
    if (questionsOpen_ > 0) --questionsOpen_;
    if (stop && Scanning()) phase_ = ScanPhase::kStopping;
}

}  // namespace app
