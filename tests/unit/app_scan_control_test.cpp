// The main window's scan states: which tick starts the run, and what a stop
// question does while the scan is still starting.
#include <gtest/gtest.h>

#include <string>

#include "app/scan_control_logic.h"

using app::ScanControl;
using app::ScanPhase;

namespace {

// Drives a ScanControl through events written as letters:
//   S  SCAN pressed           q  a stop question opens
//   y  it closes with YES     n  it closes with NO
//   R  the run returns
// then offers one tick with `tickId`; reports whether that tick starts the
// run and, if it does, whether the stop request is cleared first.
struct Outcome {
    bool starts;
    bool clearsStop;
    ScanPhase phase;  // after the tick (and the run begun, when it started)
};

Outcome Drive(const std::string& events, uintptr_t tickId) {
    ScanControl c;
    for (char e : events) {
        switch (e) {
            case 'S': c.Start(); break;
            case 'q': c.QuestionOpened(); break;
            case 'y': c.QuestionClosed(true); break;
            case 'n': c.QuestionClosed(false); break;
            case 'T':  // a tick that starts the run as the window does
                if (c.TickStartsRun(app::kScanTimerId)) c.BeginRun();
                break;
            case 'R': c.EndRun(); break;
        }
    }
    Outcome o{c.TickStartsRun(tickId), false, c.Phase()};
    if (o.starts) {
        o.clearsStop = c.BeginRun();
        o.phase = c.Phase();
    }
    return o;
}

}  // namespace

TEST(ScanControl, OnlyTheScanTimersTickWhileStartingAndOutsideAQuestionStartsTheRun) {
    struct Row {
        const char* events;
        uintptr_t tick;
        bool starts;
        bool clearsStop;
        ScanPhase phase;
    };
    const uintptr_t scan = app::kScanTimerId;
    const Row table[] = {
        // Ready: no tick starts anything, the scan timer's id included.
        {"", scan, false, false, ScanPhase::kReady},
        {"", 7, false, false, ScanPhase::kReady},
        // Starting: only the scan timer's id.
        {"S", scan, true, true, ScanPhase::kScanning},
        {"S", 101, false, false, ScanPhase::kStarting},
        {"S", 0, false, false, ScanPhase::kStarting},
        // A tick inside a question's loop waits for the answer.
        {"Sq", scan, false, false, ScanPhase::kStarting},
        {"Sqn", scan, true, true, ScanPhase::kScanning},
        // A stop confirmed before the run: the run starts but keeps the stop.
        {"Sqy", scan, true, false, ScanPhase::kStopping},
        {"Sqyq", scan, false, false, ScanPhase::kStopping},
        {"Sqyqn", scan, true, false, ScanPhase::kStopping},
        // Once the run has begun, and after it, ticks start nothing.
        {"ST", scan, false, false, ScanPhase::kScanning},
        {"STqy", scan, false, false, ScanPhase::kStopping},
        {"STR", scan, false, false, ScanPhase::kFinished},
    };
    for (const Row& r : table) {
        const Outcome o = Drive(r.events, r.tick);
        EXPECT_EQ(o.starts, r.starts) << r.events << " tick " << r.tick;
        EXPECT_EQ(o.clearsStop, r.clearsStop) << r.events << " tick " << r.tick;
        EXPECT_EQ(o.phase, r.phase) << r.events << " tick " << r.tick;
    }
}

TEST(ScanControl, ScanningFlagTimerHoldAndOneScanPerStart) {
    ScanControl c;
    EXPECT_FALSE(c.Scanning());
    EXPECT_FALSE(c.HoldsTimerDuringQuestion());
    EXPECT_TRUE(c.Start());
    EXPECT_FALSE(c.Start());  // SCAN again while starting: nothing
    EXPECT_TRUE(c.Scanning());
    EXPECT_TRUE(c.HoldsTimerDuringQuestion());  // the run has not begun
    c.QuestionOpened();
    EXPECT_TRUE(c.QuestionOpen());
    c.QuestionClosed(true);
    EXPECT_FALSE(c.QuestionOpen());
    EXPECT_EQ(c.Phase(), ScanPhase::kStopping);
    EXPECT_TRUE(c.Scanning());
    EXPECT_TRUE(c.HoldsTimerDuringQuestion());  // stopping, but the run is still to come
    EXPECT_FALSE(c.BeginRun());
    EXPECT_FALSE(c.HoldsTimerDuringQuestion());
    EXPECT_TRUE(c.Scanning());
    c.EndRun();
    EXPECT_FALSE(c.Scanning());  // Finished: close requests close again
    EXPECT_FALSE(c.Start());     // no second scan
    // A question closed with YES after the run changes nothing.
    c.QuestionOpened();
    c.QuestionClosed(true);
    EXPECT_EQ(c.Phase(), ScanPhase::kFinished);
}
