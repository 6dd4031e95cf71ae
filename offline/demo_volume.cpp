// vendrika-demo-volume DIR: plants the demo machine of the window demo as a
// mounted Windows XP volume: infected programs (one at its root, one
// read-only, one in Program Files), look-alikes, a letter, a hosts file, and a SOFTWARE hive
// whose start-up values launch three of the infections (and one that does not),
// and a SYSTEM hive with a service of the worm's beside one of the system's.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "offline/hive_builder.h"
#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"

namespace {
bool Plant(const std::string& root, const std::string& relative, const void* data, size_t size,
           mode_t mode = 0644) {
    std::string path = root;
    for (size_t at = 0; (at = relative.find('/', at)) != std::string::npos; ++at)
        mkdir((root + "/" + relative.substr(0, at)).c_str(), 0755);
    path += "/" + relative;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    ok = std::fclose(f) == 0 && ok;
    return ok && chmod(path.c_str(), mode) == 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vendrika-demo-volume DIR\n");
        return 2;
    }
    const std::string root = argv[1];
    mkdir(root.c_str(), 0755);
    const std::vector<cvsamples::Record> table = cvsamples::BuiltInRecords();
    struct Infection {
        int record;
        const char* path;
        mode_t mode;
    } infections[] = {
        {3, "autorun.exe", 0644},  // at the root, where worms like to sit
        {0, "Downloads/setup.exe", 0644},
        {10, "Games/Arcade/game.exe", 0444},
        {28, "Program Files/Tools/tool.exe", 0644},
        {60, "Documents/invoice.pdf.exe", 0644},
    };
    bool ok = true;
    for (const Infection& i : infections) {
        cvsamples::Bytes bytes;
        ok = ok && cvsamples::BuildInfected(table[size_t(i.record)], uint32_t(1 + i.record), &bytes) &&
             Plant(root, i.path, bytes.data(), bytes.size(), i.mode);
    }
    const std::vector<cvsamples::Sample> decoys = cvsamples::BuildDecoys(table[0], 0, 7);
    for (size_t i = 0; i < 3 && i < decoys.size(); ++i)
        ok = ok && Plant(root, "Documents/look-alike-" + std::to_string(i + 1) + ".exe",
                         decoys[i].bytes.data(), decoys[i].bytes.size());
    const std::string letter = "Dear customer, please find the invoice attached.\r\n";
    const std::string hosts = "127.0.0.1       localhost\r\n";
    ok = ok && Plant(root, "Documents/letter.txt", letter.data(), letter.size()) &&
         Plant(root, "WINDOWS/system32/drivers/etc/hosts", hosts.data(), hosts.size());
    const std::string hive = root + "/WINDOWS/system32/config/SOFTWARE";
    mkdir((root + "/WINDOWS/system32/config").c_str(), 0755);
    offline::WriteEmptyHive(hive);
    ok = ok && offline::SetHiveValues(hive, "Microsoft\\Windows NT\\CurrentVersion", {{"CurrentVersion", "5.1"}, {"SystemRoot", "C:\\WINDOWS"}}) &&
         offline::SetHiveValues(hive, "Microsoft\\Windows\\CurrentVersion\\Run",
                                {{"DemoUpdater", "\"C:\\Downloads\\setup.exe\" /silent"},
                                 {"DemoAutorun", "C:\\autorun.exe"},
                                 {"DemoNotepad", "notepad.exe"}}) &&
         offline::SetHiveValues(hive, "Microsoft\\Windows\\CurrentVersion\\RunServices",
                                {{"DemoArcade", "C:\\Games\\Arcade\\game.exe"}});
    // The SYSTEM hive: a driver of the system's own and a service the worm
    // installed, whose image is one of its programs.
    const std::string system = root + "/WINDOWS/system32/config/SYSTEM";
    offline::WriteEmptyHive(system);
    ok = ok && offline::SetHiveDword(system, "Select", "Current", 1) &&
         offline::SetHiveValues(system, "ControlSet001\\Services\\Tcpip",
                                {{"ImagePath", "system32\\DRIVERS\\tcpip.sys"}}, 2) &&
         offline::SetHiveValues(system, "ControlSet001\\Services\\DemoToolService",
                                {{"ImagePath", "\"C:\\Program Files\\Tools\\tool.exe\" -service"}}, 2);
    if (!ok) {
        std::fprintf(stderr, "cannot plant the demo volume in %s\n", root.c_str());
        return 1;
    }
    return 0;
}
