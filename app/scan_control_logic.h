// The main window's scan states, without a window: when SCAN may start a
// scan, which timer tick starts the run, and what a stop question answered
// while the scan is still starting does.
//
//   Ready --SCAN--> Starting --first tick of the scan timer--> Scanning
//   Starting or Scanning --YES to a stop question--> Stopping
//   Scanning or Stopping --the run returns--> Finished
//
// While a question is up its modal loop dispatches the main window's
// messages, the scan timer's ticks included; no run may start inside it.
#pragma once

#include <cstdint>

namespace app {

// The scan timer: started by SCAN, killed on its first tick, so it fires once.
constexpr uintptr_t kScanTimerId = 100;
constexpr unsigned kScanTimerPeriodMs = 100;

enum class ScanPhase { kReady, kStarting, kScanning, kStopping, kFinished };

class ScanControl {
public:
    ScanPhase Phase() const { return phase_; }
    // The scanning flag: from the press of SCAN until the run has returned.
    bool Scanning() const {
        return phase_ == ScanPhase::kStarting || phase_ == ScanPhase::kScanning ||
               phase_ == ScanPhase::kStopping;
    }

    // SCAN: Ready to Starting. False in any other state: one scan per start.
    bool Start();

    // A WM_TIMER with `id` arrived. True only for the scan timer's tick
    // while the run has not begun and no question is up; any other tick,
    // one posted by another program included, starts nothing.
    bool TickStartsRun(uintptr_t id) const;

    // The run begins. True when the stop request is to be cleared first:
    // not when a stop was confirmed before the run began, which the run
    // then honours at once.
    bool BeginRun();
    // The run has returned.
    void EndRun() { phase_ = ScanPhase::kFinished; }

    // True while the scan timer must be held (killed) during a question and
    // started again afterwards: the run has not begun yet.
    bool HoldsTimerDuringQuestion() const { return Scanning() && !runBegun_; }
    void QuestionOpened() { ++questionsOpen_; }
    // `stop`: the user confirmed the stop.
    void QuestionClosed(bool stop);
    bool QuestionOpen() const { return questionsOpen_ > 0; }

private:
    ScanPhase phase_ = ScanPhase::kReady;
    bool runBegun_ = false;
    int questionsOpen_ = 0;
};

}  // namespace app
