// vendrika-scan --remove --quarantine DIR and --restore DIR, the real
// program over folder trees: what is removed comes back exactly, whatever
// happens during the run.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "offline/quarantine.h"
#include "platform/posix/posix_platform.h"
#include "tests/offline/offline_support.h"

using offline::Scan;
using offline::Tree;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Every entry below `folder`: a file's bytes, mode, owner and modification
// time to the nanosecond; a folder's mode. (Folder times change with every
// deletion and are left out.)
void SnapshotInto(const std::string& folder, const std::string& prefix, std::map<std::string, std::string>* out) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    while (struct dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        std::string meta = "|mode=" + std::to_string(st.st_mode) + "|uid=" + std::to_string(st.st_uid);
        if (S_ISDIR(st.st_mode)) {
            (*out)[prefix + name + "/"] = meta;
            SnapshotInto(path, prefix + name + "/", out);
            continue;
        }
        meta += "|mtime=" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        unsigned char ntfs[8];
        const ssize_t n = lgetxattr(path.c_str(), "system.ntfs_attrib_be", ntfs, sizeof ntfs);
        for (ssize_t i = 0; i < n; ++i) meta += (i ? "." : "|ntfs=") + std::to_string(ntfs[i]);
        const std::string bytes = offline::ReadFile(path);
        (*out)[prefix + name] = "size=" + std::to_string(bytes.size()) + "|bytes=" +
                                std::to_string(std::hash<std::string>()(bytes)) + meta;
    }
    closedir(dir);
}

std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> out;
    SnapshotInto(root, "", &out);
    return out;
}

// The entries that differ between two snapshots ("" when none).
std::string Differences(const std::map<std::string, std::string>& before,
                        const std::map<std::string, std::string>& after) {
    std::string out;
    for (const auto& [name, was] : before) {
        const auto now = after.find(name);
        if (now == after.end())
            out += "\n  gone: " + name;
        else if (now->second != was)
            out += "\n  changed: " + name + ": " + was + " -> " + now->second;
    }
    for (const auto& [name, is] : after)
        if (!before.count(name)) out += "\n  new: " + name + ": " + is;
    return out;
}

std::string Sha256Of(const std::string& path) {
    std::string out;
    if (FILE* p = popen(("sha256sum '" + path + "'").c_str(), "r")) {
        char hex[65] = {};
        if (std::fscanf(p, "%64s", hex) == 1) out = hex;
        pclose(p);
    }
    return out;
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (struct dirent* e = readdir(dir))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        closedir(dir);
    }
    return names;
}

const char kRun[] = "Microsoft\\Windows\\CurrentVersion\\Run";
const char kService[] = "ControlSet001\\Services\\gamesvc";

// An XP volume whose hosts file, and files in several folders (one
// read-only, one set-group-ID, one of a name no Windows path can show as
// text), are infected; a start-up value launches the first, a service (its
// key with a subkey) the second, so that both hives are rewritten; the
// hives belong to the snapshot too.
struct Volume {
    Tree tree;
    std::vector<std::string> infected;
    std::string software = tree.Path("WINDOWS/system32/config/SOFTWARE");
    std::string system = tree.Path("WINDOWS/system32/config/SYSTEM");
    explicit Volume(int files = 6) {
        tree.Folder("WINDOWS/system32/config");
        offline::WriteSoftwareHive(software);
        offline::WriteEmptyHive(system);
        offline::SetHiveValues(software, kRun, {{"Updater", "C:\\autorun.exe /q"}, {"Sound", "C:\\snd.exe"}});
        offline::SetHiveDword(system, "Select", "Current", 1);
        offline::SetHiveValues(system, kService, {{"ImagePath", "C:\\Games\\game.exe"}});
        offline::SetHiveDword(system, kService, "Start", 2);
        offline::SetHiveValues(system, std::string(kService) + "\\Enum", {{"0", "Root\\LEGACY_GAMESVC\\0000"}});
        tree.File("WINDOWS/system32/drivers/etc/hosts", offline::InfectedHosts(), 0640);
        infected.push_back("WINDOWS/system32/drivers/etc/hosts");
        const char* names[] = {"autorun.exe", "Games/game.exe", "Downloads/setup.exe",
                               "Deep/a/b/c/d/tool.exe", "Odd/n\xe9w\x01line.exe", "Odd/x.exe"};
        const unsigned modes[] = {0644, 0444, 0600, 02755, 0640, 0604};
        for (int i = 0; i < files && i < 6; ++i) {
            tree.File(names[i], offline::InfectedSample(i * 7 % 70, unsigned(i + 1)), modes[i]);
            chmod(tree.Path(names[i]).c_str(), modes[i]);  // beyond the umask
            infected.push_back(names[i]);
        }
        tree.File("Documents/letter.txt", "Dear customer,\r\n");
        tree.File("Documents/look-alike.exe", offline::DecoySample(0));
        // Times of their own, to the nanosecond.
        for (size_t i = 0; i < infected.size(); ++i) {
            struct timespec times[2] = {{1000000000 + long(i) * 1000, 123456789}, {990000000 + long(i), 987654321}};
            utimensat(AT_FDCWD, tree.Path(infected[i]).c_str(), times, AT_SYMLINK_NOFOLLOW);
        }
        chown(tree.Path("Downloads/setup.exe").c_str(), 65534, 65534);
    }
};

// A fresh folder for a quarantine (not made: the run makes it).
struct QuarantineDir {
    Tree parent;
    std::string dir = parent.Path("q");
};

// Keeps C:\autorun.exe in `dir` as a removing run does right before it
// deletes it, and changes nothing; `st` gets the identity kept.
void KeepAutorun(const Volume& volume, const std::string& dir, struct stat* st = nullptr) {
    offline::Quarantine quarantine;
    std::string why;
    ASSERT_TRUE(quarantine.Open(dir, &why)) << why;
    struct stat own;
    if (!st) st = &own;
    const int fd = open(volume.tree.Path("autorun.exe").c_str(), O_RDONLY);
    ASSERT_EQ(fstat(fd, st), 0);
    const std::string root = volume.tree.Root(), relative = "autorun.exe";
    ASSERT_TRUE(quarantine.Keep(pf::posix::FileChange{"C:\\autorun.exe", root, relative, fd, *st, true}, "file", "",
                                &why))
        << why;
    close(fd);
}

}  // namespace

// The round trip: every removed file (and the hosts file) comes back with its
// bytes, mode, owner and times; DIR holds nothing runnable or named after the
// volume; a second restore changes nothing; the listing tells each state.
TEST(VendrikaScanQuarantine, RestoreGivesBackTheVolumeAsItWas) {
    Volume volume;
    QuarantineDir q;
    const auto before = Snapshot(volume.tree.Root());
    std::map<std::string, std::string> originals;
    for (const std::string& f : volume.infected) originals[f] = offline::ReadFile(volume.tree.Path(f));

    const offline::RunResult removal = Scan({"--remove", "--quarantine", q.dir, volume.tree.Root()});
    EXPECT_EQ(removal.status, 1) << removal.out << removal.err;
    for (const std::string& f : volume.infected) EXPECT_FALSE(Exists(volume.tree.Path(f))) << f;
    // The files, and each hive before it was rewritten.
    EXPECT_TRUE(Has(removal.out, std::to_string(volume.infected.size() + 2) + " items kept in the quarantine"))
        << removal.out;
    std::map<std::string, std::string> values;
    ASSERT_TRUE(offline::HiveValues(volume.software, kRun, &values));
    EXPECT_EQ(values, (std::map<std::string, std::string>{{"Sound", "C:\\snd.exe"}}));
    EXPECT_FALSE(offline::HiveValues(volume.system, kService, &values));

    // Kept inert: 0700, items 0600, no name from the volume, no byte
    // sequence of a removed file, nothing starting as a program does.
    struct stat st;
    ASSERT_EQ(lstat(q.dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    const std::vector<std::string> held = Names(q.dir);
    EXPECT_EQ(held.size(), volume.infected.size() + 3);
    for (const std::string& name : held) {
        ASSERT_EQ(lstat((q.dir + "/" + name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
        if (name == "manifest") continue;
        const std::string bytes = offline::ReadFile(q.dir + "/" + name);
        EXPECT_NE(bytes.compare(0, 2, "MZ"), 0) << name;
        for (const std::string& f : volume.infected) {
            const std::string original = originals.at(f);
            EXPECT_FALSE(Has(name, f.substr(f.rfind('/') + 1))) << name;
            EXPECT_FALSE(Has(bytes, original.substr(original.size() / 2, 64))) << name << " holds " << f;
        }
    }

    const offline::RunResult listed = Scan({"--quarantine", q.dir, "--json"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    int removedItems = 0;
    for (const std::string& line : listed.Lines()) removedItems += Has(line, "\"state\":\"removed\"");
    EXPECT_EQ(removedItems, int(volume.infected.size())) << listed.out;
    EXPECT_TRUE(Has(listed.out, "\"kind\":\"hosts\"")) << listed.out;
    int replaced = 0;
    for (const std::string& line : listed.Lines())
        replaced += Has(line, "\"kind\":\"hive\"") && Has(line, "\"state\":\"replaced\"");
    EXPECT_EQ(replaced, 2) << listed.out;
    EXPECT_TRUE(Has(listed.out, "value \\\"Updater\\\" of HKEY_LOCAL_MACHINE\\\\Software\\\\Microsoft"))
        << listed.out;
    EXPECT_TRUE(Has(listed.out, "key HKEY_LOCAL_MACHINE\\\\SYSTEM\\\\ControlSet001\\\\Services\\\\gamesvc"))
        << listed.out;

    const offline::RunResult restore = Scan({"--restore", q.dir});
    EXPECT_EQ(restore.status, 0) << restore.out << restore.err;
    EXPECT_EQ(Differences(before, Snapshot(volume.tree.Root())), "");

    // Once more: nothing changes, and it says so; the manifest stays.
    const std::string manifest = offline::ReadFile(q.dir + "/manifest");
    const offline::RunResult again = Scan({"--restore", q.dir});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_TRUE(Has(again.out, "Nothing to restore")) << again.out;
    EXPECT_EQ(Differences(before, Snapshot(volume.tree.Root())), "");
    EXPECT_EQ(offline::ReadFile(q.dir + "/manifest"), manifest);
    const offline::RunResult text = Scan({"--quarantine", q.dir});
    EXPECT_TRUE(Has(text.out, "restored")) << text.out;
}

// A place taken since the removal is never overwritten: a file of that
// name, a hive that changed since the run wrote it (the Windows started).
// Said, exit 2; the other items come back, and a later restore finishes
// once the place is free.
TEST(VendrikaScanQuarantine, TakenPlaceIsNotOverwritten) {
    Volume volume(3);
    QuarantineDir q;
    const auto before = Snapshot(volume.tree.Root());
    ASSERT_EQ(Scan({"--remove", "--quarantine", q.dir, volume.tree.Root()}).status, 1);
    const std::string written = offline::ReadFile(volume.software);
    volume.tree.File("autorun.exe", "a new file of the user's");
    ASSERT_TRUE(offline::SetHiveValues(volume.software, "Microsoft\\Windows\\CurrentVersion", {{"Started", "1"}}));
    const std::string changed = offline::ReadFile(volume.software);
    const offline::RunResult r = Scan({"--restore", q.dir, "--json"});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_EQ(offline::ReadFile(volume.tree.Path("autorun.exe")), "a new file of the user's");
    EXPECT_EQ(offline::ReadFile(volume.software), changed);
    int taken = 0;
    for (const std::string& line : r.Lines()) taken += Has(line, "\"action\":\"place_taken\"");
    EXPECT_EQ(taken, 2) << r.out;
    EXPECT_TRUE(Has(r.out, "what the run removed from it: value \\\"Updater\\\"")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"not_restored\":2")) << r.out;
    EXPECT_TRUE(Exists(volume.tree.Path("Games/game.exe")));
    unlink(volume.tree.Path("autorun.exe").c_str());
    volume.tree.File("WINDOWS/system32/config/SOFTWARE", written);
    chmod(volume.software.c_str(), 0644);
    EXPECT_EQ(Scan({"--restore", q.dir}).status, 0);
    EXPECT_EQ(Differences(before, Snapshot(volume.tree.Root())), "");
}

// A volume mounted elsewhere since the run: the restore says where its
// folder was not found and that --drive tells where it is now; with it,
// the volume (its files and hives) comes back as it was.
TEST(VendrikaScanQuarantine, VolumeMountedElsewhereIsToldWithDrive) {
    Volume volume(3);
    QuarantineDir q;
    const auto before = Snapshot(volume.tree.Root());
    EXPECT_EQ(Scan({"--remove", "--quarantine", q.dir, volume.tree.Root()}).status, 1);
    const std::string elsewhere = q.parent.Path("mounted-now");
    ASSERT_EQ(rename(volume.tree.Root().c_str(), elsewhere.c_str()), 0);
    const offline::RunResult lost = Scan({"--restore", q.dir});
    EXPECT_EQ(lost.status, 2);
    EXPECT_TRUE(Has(lost.out, "say where with --drive")) << lost.out;
    const offline::RunResult r = Scan({"--drive", "C:=" + elsewhere, "--restore", q.dir});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(Differences(before, Snapshot(elsewhere)), "");
    ASSERT_EQ(rename(elsewhere.c_str(), volume.tree.Root().c_str()), 0);

    // On another system a file kept but never removed has another identity
    // (the device number, here changed in the manifest): without --drive it
    // is not taken for the file kept; with it, it is known by its bytes.
    Volume other(1);
    QuarantineDir kept;
    {
        struct stat st;
        KeepAutorun(other, kept.dir, &st);
        std::string manifest = offline::ReadFile(kept.dir + "/manifest");
        const std::string dev = "\"dev\":" + std::to_string(st.st_dev) + ",";
        ASSERT_NE(manifest.find(dev), std::string::npos) << manifest;
        manifest.replace(manifest.find(dev), dev.size(), "\"dev\":" + std::to_string(st.st_dev + 1) + ",");
        const int out = open((kept.dir + "/manifest").c_str(), O_WRONLY | O_TRUNC);
        ASSERT_EQ(write(out, manifest.data(), manifest.size()), ssize_t(manifest.size()));
        close(out);
    }
    EXPECT_EQ(Scan({"--restore", kept.dir}).status, 2);
    const offline::RunResult known = Scan({"--drive", "C:=" + other.tree.Root(), "--restore", kept.dir});
    EXPECT_EQ(known.status, 0) << known.out << known.err;
    EXPECT_TRUE(Has(known.out, "in its place")) << known.out;
}

// A quarantine on the volume being cleaned is refused before anything is
// read: inside a PATH, the PATH itself, a folder still to be made there, a
// link leading there.
TEST(VendrikaScanQuarantine, DirInsideAPathIsRefused) {
    Volume volume(2);
    Tree elsewhere;
    symlink(volume.tree.Path("Documents").c_str(), elsewhere.Path("link").c_str());
    const auto before = Snapshot(volume.tree.Root());
    const std::string dirs[] = {volume.tree.Path("q"), volume.tree.Root(), volume.tree.Path("Documents/new/q"),
                                elsewhere.Path("link/q"), volume.tree.Root() + "/./Games/../q"};
    for (const std::string& dir : dirs) {
        const offline::RunResult r = Scan({"--remove", "--quarantine", dir, elsewhere.Root(), volume.tree.Root()});
        EXPECT_EQ(r.status, 2) << dir << r.out;
        EXPECT_TRUE(Has(r.err, "is inside " + volume.tree.Root() + ", which is scanned: nothing was read"))
            << dir << r.err;
        EXPECT_EQ(r.out, "") << dir;
        EXPECT_EQ(Differences(before, Snapshot(volume.tree.Root())), "") << dir;
    }
}

// A quarantine that cannot be opened stops the run before anything is
// done; one that fills up stops the removal of each file it cannot keep:
// those stay on the volume, said, exit 2, and what was kept comes back.
TEST(VendrikaScanQuarantine, FullQuarantineLeavesTheFilesOnTheVolume) {
    Volume volume;
    const auto before = Snapshot(volume.tree.Root());
    Tree holder;
    holder.File("file", "not a folder");
    const offline::RunResult notAFolder =
        Scan({"--remove", "--quarantine", holder.Path("file"), volume.tree.Root()});
    EXPECT_EQ(notAFolder.status, 2);
    EXPECT_TRUE(Has(notAFolder.err, "nothing was done")) << notAFolder.err;
    EXPECT_EQ(Differences(before, Snapshot(volume.tree.Root())), "");
    {
        // One another run holds: neither a removal nor a restore goes on.
        QuarantineDir held;
        ASSERT_EQ(mkdir(held.dir.c_str(), 0700), 0);
        const int fd = open(held.dir.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_EQ(flock(fd, LOCK_EX), 0);
        for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {"--remove", "--quarantine", held.dir, volume.tree.Root()}, {"--restore", held.dir}}) {
            const offline::RunResult r = Scan(args);
            EXPECT_EQ(r.status, 2) << args[0];
            EXPECT_TRUE(Has(r.err, "another run of vendrika-scan is using it now")) << r.err;
        }
        close(fd);
        EXPECT_EQ(Differences(before, Snapshot(volume.tree.Root())), "");
    }

    holder.Folder("small");
    const std::string mountPoint = holder.Path("small");
    // Room for about two of the samples (each near 90 KB).
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=200k,mode=0700") != 0) {
        GTEST_SKIP() << "a small tmpfs cannot be mounted here (" << strerror(errno) << "): not root?";
    }
    const std::string dir = mountPoint + "/q";
    const offline::RunResult r = Scan({"--remove", "--quarantine", dir, volume.tree.Root()});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_TRUE(Has(r.err, "cannot be kept in the quarantine")) << r.err;
    EXPECT_TRUE(Has(r.err, "No space left on device")) << r.err;
    int left = 0;
    for (const std::string& f : volume.infected) left += Exists(volume.tree.Path(f));
    EXPECT_GT(left, 0);
    EXPECT_LT(left, int(volume.infected.size()));
    const offline::RunResult listed = Scan({"--quarantine", dir, "--json"});
    EXPECT_TRUE(Has(listed.out, "\"items\":" + std::to_string(volume.infected.size() - size_t(left))))
        << listed.out;
    EXPECT_EQ(Scan({"--restore", dir}).status, 0);
    EXPECT_EQ(Differences(before, Snapshot(volume.tree.Root())), "");
    umount2(mountPoint.c_str(), MNT_DETACH);
}

// kill -9 at random moments of --remove --quarantine, each followed by
// --restore (run again when a restore is killed too): the volume is as it
// was every time.
TEST(VendrikaScanQuarantine, KilledAtAnyMomentRestoresTheVolume) {
    auto run = [](const std::vector<std::string>& args, long killAfterMicroseconds) {
        std::vector<char*> argv{const_cast<char*>(CV_VENDRIKA_SCAN)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 0), dup2(null, 1), dup2(null, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (killAfterMicroseconds >= 0) {
            usleep(useconds_t(killAfterMicroseconds));
            kill(pid, SIGKILL);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    };
    // How long a whole run takes here.
    long whole = 0;
    {
        Volume volume;
        QuarantineDir q;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(run({"--remove", "--quarantine", q.dir, volume.tree.Root()}, -1), 1);
        whole = long(std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
                         .count());
    }
    std::mt19937 random(12345);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(18);
    int runs = 0, killed = 0, trials = 0;
    while (std::chrono::steady_clock::now() < deadline && runs < 100) {
        Volume volume;
        QuarantineDir q;
        const auto before = Snapshot(volume.tree.Root());
        const long at = long(random() % uint32_t(whole + whole / 5 + 1));
        const int status = run({"--remove", "--quarantine", q.dir, volume.tree.Root()}, at);
        killed += status == 128 + SIGKILL;
        ++runs;
        if (!Exists(q.dir)) {
            EXPECT_EQ(Differences(before, Snapshot(volume.tree.Root())), "") << "killed at " << at << " us";
            continue;
        }
        int restored = run({"--restore", q.dir}, long(random() % uint32_t(whole / 2 + 1)));
        if (restored != 0) restored = run({"--restore", q.dir}, -1);
        EXPECT_EQ(restored, 0) << "killed at " << at << " us";
        // A run killed while it tried whether a hive could be written back,
        // or while it wrote the new hive before it was kept, leaves that new
        // file, never put in place, which the next removing run removes;
        // the hive beside it is as it was. One the quarantine kept the hive
        // for, the restore removes.
        auto after = Snapshot(volume.tree.Root());
        const std::string manifest = offline::ReadFile(q.dir + "/manifest");
        for (const char* hive : {"SOFTWARE", "SYSTEM"}) {
            const std::string left = std::string("WINDOWS/system32/config/") + hive + ".vendrika-new";
            const auto trial = after.find(left);
            if (trial == after.end()) continue;
            EXPECT_FALSE(Has(manifest, "\"new_sha256\":\"" + Sha256Of(volume.tree.Path(left)) + "\""))
                << left << " is the new hive of an item: killed at " << at << " us";
            after.erase(trial);
            ++trials;
        }
        EXPECT_EQ(Differences(before, after), "") << "killed at " << at << " us";
    }
    std::printf("%d runs, %d of them killed (a whole run takes %ld us); %d new hives left\n", runs, killed,
                whole, trials);
    EXPECT_GT(killed, runs / 4);

    // Moments too short to be met at random: killed once the file was kept
    // and moved to the name it is deleted under (as the platform does), or
    // once the file was kept and before anything was changed.
    for (const bool moved : {true, false}) {
        Volume volume(1);
        QuarantineDir q;
        const auto before = Snapshot(volume.tree.Root());
        KeepAutorun(volume, q.dir);
        if (moved)
            ASSERT_EQ(rename(volume.tree.Path("autorun.exe").c_str(),
                             (volume.tree.Path("autorun.exe") + pf::posix::kDeletingMark + "1-1").c_str()),
                      0);
        const offline::RunResult r = Scan({"--restore", q.dir});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(Differences(before, Snapshot(volume.tree.Root())), "") << (moved ? "moved" : "kept only");
    }
    // A restore killed right after it made its own file for a hive, before
    // it could say so: that file is empty and the next restore removes it;
    // one under the same mark that holds bytes is not provably its own and
    // stays.
    {
        Volume volume;
        QuarantineDir q;
        const auto before = Snapshot(volume.tree.Root());
        ASSERT_EQ(run({"--remove", "--quarantine", q.dir, volume.tree.Root()}, -1), 1);
        const std::string mark = std::string("WINDOWS/system32/config/SYSTEM") + pf::posix::kRestoringMark;
        volume.tree.File(mark + "1-1", "");
        volume.tree.File(mark + "2-1", "not the restore's");
        EXPECT_EQ(run({"--restore", q.dir}, -1), 0);
        auto after = Snapshot(volume.tree.Root());
        EXPECT_EQ(after.erase(mark + "2-1"), 1u);
        EXPECT_EQ(Differences(before, after), "");
    }
}

// The same on a real XP volume on NTFS (ntfs-3g): the NTFS attributes
// (hidden, system) come back with the bytes, and both hives (a start-up
// value and a service launch the files) as they were.
TEST(VendrikaScanQuarantine, NtfsVolumeGetsItsAttributesBack) {
    offline::ImageVolume volume(offline::ImageVolume::kNtfs);
    if (!volume.Unavailable().empty()) GTEST_SKIP() << volume.Unavailable();
    {
        Volume hives(0);
        offline::SetHiveValues(hives.software, kRun, {{"Hidden", "C:\\hidden\\evil.exe"}});
        offline::SetHiveValues(hives.system, kService, {{"ImagePath", "C:\\plain\\evil.exe"}});
        volume.File("WINDOWS/system32/config/SOFTWARE", offline::ReadFile(hives.software));
        volume.File("WINDOWS/system32/config/SYSTEM", offline::ReadFile(hives.system));
    }
    volume.File("hidden/evil.exe", offline::InfectedSample(1));
    volume.File("plain/evil.exe", offline::InfectedSample(2));
    const unsigned char hiddenSystem[4] = {0, 0, 0, 0x26};
    ASSERT_EQ(setxattr(volume.Path("hidden/evil.exe").c_str(), "system.ntfs_attrib_be", hiddenSystem,
                       sizeof hiddenSystem, 0),
              0)
        << strerror(errno);
    QuarantineDir q;
    const auto before = Snapshot(volume.Root());
    ASSERT_TRUE(Has(before.at("hidden/evil.exe"), "|ntfs=0.0.0.38")) << before.at("hidden/evil.exe");
    const offline::RunResult r = Scan({"--remove", "--quarantine", q.dir, volume.Root()});
    EXPECT_FALSE(Exists(volume.Path("hidden/evil.exe"))) << r.out << r.err;
    EXPECT_FALSE(Exists(volume.Path("plain/evil.exe")));
    std::map<std::string, std::string> values;
    ASSERT_TRUE(offline::HiveValues(volume.Path("WINDOWS/system32/config/SOFTWARE"), kRun, &values));
    EXPECT_EQ(values.count("Hidden"), 0u);
    EXPECT_EQ(values.count("Sound"), 1u);
    EXPECT_FALSE(offline::HiveValues(volume.Path("WINDOWS/system32/config/SYSTEM"), kService, &values));
    const offline::RunResult restore = Scan({"--restore", q.dir});
    EXPECT_EQ(restore.status, 0) << restore.out << restore.err;
    EXPECT_EQ(Differences(before, Snapshot(volume.Root())), "");
}

// A 98 volume on FAT32 (C:) and a second one mounted read-only (D:): the
// file on C: is kept and removed; the one on D: cannot be deleted now and
// goes into C:'s WININIT.INI, which is kept before it is rewritten (kept as
// none where there was none); the restore gives both volumes back as they
// were. Needs root and FUSE.
TEST(VendrikaScanQuarantine, Win98VolumeGetsItsWininitBack) {
    for (const bool hadWininit : {true, false}) {
        offline::ImageVolume c(offline::ImageVolume::kFat32), d(offline::ImageVolume::kFat32);
        if (!c.Unavailable().empty()) GTEST_SKIP() << c.Unavailable();
        c.File("WINDOWS/SYSTEM.DAT", "CREG");
        c.File("MSDOS.SYS", offline::MsdosSys());
        if (hadWininit) c.File("WINDOWS/WININIT.INI", "[Rename]\r\nNUL=C:\\OLD.EXE\r\n");
        c.File("GAMES/evil.exe", offline::InfectedSample(3));
        // D:'s file made as Windows makes it, with mtools (its 8.3 name).
        ASSERT_TRUE(d.Unmount());
        Tree samples;
        samples.File("x.exe", offline::InfectedSample(5));
        ASSERT_EQ(std::system(("MTOOLS_SKIP_CHECK=1 mcopy -i '" + d.Image() + "' '" + samples.Path("x.exe") +
                               "' ::/X.EXE").c_str()),
                  0);
        ASSERT_TRUE(d.Mount(true));
        QuarantineDir q;
        const auto beforeC = Snapshot(c.Root()), beforeD = Snapshot(d.Root());

        const offline::RunResult r =
            Scan({"--remove", "--quarantine", q.dir, c.Root(), "--drive", "D:=" + d.Root(), "--json"});
        EXPECT_EQ(r.status, 2) << r.out << r.err;  // D:'s file is removed only at the next start
        EXPECT_FALSE(Exists(c.Path("GAMES/evil.exe")));
        EXPECT_TRUE(Has(offline::ReadFile(c.Path("WINDOWS/WININIT.INI")), "NUL=D:\\X.EXE")) << r.out;
        const offline::RunResult listed = Scan({"--quarantine", q.dir, "--json"});
        int wininit = 0;
        for (const std::string& line : listed.Lines())
            wininit += Has(line, "\"kind\":\"wininit\"") && Has(line, "\"state\":\"replaced\"") &&
                       Has(line, hadWininit ? "\"absent\":0" : "\"absent\":1");
        EXPECT_EQ(wininit, 1) << listed.out;

        const offline::RunResult restore = Scan({"--restore", q.dir});
        EXPECT_EQ(restore.status, 0) << restore.out << restore.err;
        EXPECT_EQ(Differences(beforeC, Snapshot(c.Root())), "") << (hadWininit ? "had WININIT.INI" : "had none");
        EXPECT_EQ(Differences(beforeD, Snapshot(d.Root())), "");
    }
}

// A quarantine damaged since (an item's bytes changed, lines that are no
// manifest's, a line cut short): nothing that does not match its SHA-256 is
// put back, what cannot be read is said (exit 2), and nothing crashes.
TEST(VendrikaScanQuarantine, DamagedQuarantineIsNeverPutBack) {
    Volume volume(2);
    QuarantineDir q;
    const auto before = Snapshot(volume.tree.Root());
    ASSERT_EQ(Scan({"--remove", "--quarantine", q.dir, volume.tree.Root()}).status, 1);
    // Item 1 (the hosts file): one byte changed.
    {
        const int fd = open((q.dir + "/00000001.item").c_str(), O_RDWR);
        unsigned char c;
        ASSERT_EQ(pread(fd, &c, 1, 40), 1);
        c ^= 1;
        ASSERT_EQ(pwrite(fd, &c, 1, 40), 1);
        close(fd);
    }
    const std::string manifest = offline::ReadFile(q.dir + "/manifest");
    const std::string garbage[] = {
        "not json",
        "{\"type\":\"item\",\"id\":99999999999999999999999,\"root_hex\":\"zz\"}",
        "{\"type\":\"outcome\",\"id\":77,\"action\":\"removed\"}",
        "{\"type\":\"item\",\"id\":5,\"relative_hex\":\"2e2e2f2e2e2f6574632f706173737764\"}",
        std::string("{\"type\":\"restored\",\"id\":2\0}", 27),
        "{\"type\":\"restored\",\"id\":2",  // cut short, the last line
    };
    std::string damaged = manifest;
    for (const std::string& line : garbage) damaged += line + (&line == &garbage[5] ? "" : "\n");
    {
        const int fd = open((q.dir + "/manifest").c_str(), O_WRONLY | O_TRUNC);
        ASSERT_EQ(write(fd, damaged.data(), damaged.size()), ssize_t(damaged.size()));
        close(fd);
    }
    const offline::RunResult listed = Scan({"--quarantine", q.dir, "--json"});
    EXPECT_EQ(listed.status, 2) << listed.out << listed.err;
    EXPECT_TRUE(Has(listed.out, "\"items\":5,\"unreadable_lines\":5")) << listed.out;  // two hives

    const offline::RunResult r = Scan({"--restore", q.dir, "--json"});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "does not match the SHA-256")) << r.out;
    EXPECT_TRUE(Has(r.out, "\"restored\":4,")) << r.out;
    auto expected = before;
    expected.erase("WINDOWS/system32/drivers/etc/hosts");
    EXPECT_EQ(Differences(expected, Snapshot(volume.tree.Root())), "");
}
