// A test fixture for everything that scans: a fresh simulated machine
// installed as the platform, a clean scan state, and a main window that
// records every report line and status text it receives.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/scan_context.h"
#include "platform/sim/sim_machine.h"

// A hand-made PE image for header tests: "MZ", e_lfanew at 60, "PE\0\0", a
// file header, an optional header and a section table where the scanner
// reads them (header offset + 248). Writes beyond the image are dropped.
struct PeSection {
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawPointer;
};

class PeImage {
public:
    explicit PeImage(size_t size, uint32_t peOffset = 0x80) : bytes(size, '\0'), pe(peOffset) {
        Put(0, "MZ", 2);
        Put32(0x3C, peOffset);
        Put(pe, "PE\0\0", 4);
        Put16(pe + 4, 0x014C);        // i386
        Put16(pe + 4 + 16, 224);      // SizeOfOptionalHeader
        Put16(pe + 24, 0x010B);       // PE32 magic
        SetSizeOfHeaders(0x400);
    }
    void SetEntryPoint(uint32_t rva) { Put32(pe + 24 + 16, rva); }
    void SetSizeOfHeaders(uint32_t size) { Put32(pe + 24 + 60, size); }
    void SetSectionCount(uint16_t n) { Put16(pe + 4 + 2, n); }
    // Writes the table at header + 248 unless told otherwise; sets the count.
    void SetSections(const std::vector<PeSection>& sections, uint32_t tableOffset = 0) {
        if (!tableOffset) tableOffset = pe + 248;
        SetSectionCount(uint16_t(sections.size()));
        for (size_t i = 0; i < sections.size(); ++i) {
            const uint32_t at = tableOffset + uint32_t(i * 40);
            Put32(at + 8, sections[i].virtualSize);
            Put32(at + 12, sections[i].virtualAddress);
            Put32(at + 20, sections[i].rawPointer);
        }
    }
    void Put(uint64_t offset, const void* data, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (offset + i < bytes.size()) bytes[offset + i] = static_cast<const char*>(data)[i];
    }
    void Put16(uint64_t offset, uint16_t v) {
        const unsigned char b[2] = {uint8_t(v), uint8_t(v >> 8)};
        Put(offset, b, 2);
    }
    void Put32(uint64_t offset, uint32_t v) {
        const unsigned char b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        Put(offset, b, 4);
    }

    std::string bytes;
    uint32_t pe;
};

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
