// A test fixture for everything that scans: a fresh simulated machine
// installed as the platform, a clean scan state, and a main window that
// records every report line and status text it receives.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/scan_context.h"
#include "platform/sim/sim_machine.h"

class ScanTest : public ::testing::Test {
protected:
    // Any non-null value will do: the simulated machine routes every message
    // for it to windowProc.
    static pf::HWND FakeMainWindow() { return reinterpret_cast<pf::HWND>(uintptr_t(0xC1EA)); }

    ScanTest() : guard_(machine) {
        ResetScanContextForTest();
        g_scan.mainWindow = FakeMainWindow();
        machine.windowProc = [this](pf::HWND, pf::UINT message, pf::WPARAM,
                                    pf::LPARAM) -> pf::LRESULT {
            if (message == WM_SCAN_ADDLINE) lines.emplace_back(g_scan.reportLine);
            if (message == WM_SCAN_STATUS) statuses.emplace_back(g_scan.statusText);
            return 0;
        };
    }
    ~ScanTest() override { ResetScanContextForTest(); }

    // Plants a file (creating its folders). Fails the test when it cannot.
    void PlantFile(const std::string& path, const std::string& content = "x",
                   pf::DWORD attributes = pf::kFileAttributeArchive) {
        ASSERT_TRUE(machine.AddFile(path, content, attributes)) << path;
    }
    void PlantFolder(const std::string& path) { ASSERT_TRUE(machine.AddFolder(path)) << path; }

    // Report lines joined with newlines, for readable failure messages.
    std::string AllLines() const {
        std::string all;
        for (const std::string& line : lines) all += line + "\n";
        return all;
    }
    bool HasLine(const std::string& line) const {
        for (const std::string& l : lines)
            if (l == line) return true;
        return false;
    }
    // Calls of one operation, in order, with their main argument.
    std::vector<std::string> ArgsOf(const std::string& op) const {
        std::vector<std::string> args;
        for (const pf::sim::Call& call : machine.log)
            if (call.op == op) args.push_back(call.arg);
        return args;
    }

    pf::sim::SimMachine machine;
    std::vector<std::string> lines;     // every WM_SCAN_ADDLINE, in order
    std::vector<std::string> statuses;  // every WM_SCAN_STATUS, in order

private:
    pf::sim::ScopedSimMachine guard_;
};
