#include "tests/offline/offline_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <hivex.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "persistence/hosts_file.h"
#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"

namespace offline {

std::vector<std::string> RunResult::Lines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

namespace {
double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + ts.tv_nsec / 1e9;
}
}  // namespace

RunResult Scan(const std::vector<std::string>& args, const RunOptions& options) {
    int outPipe[2], errPipe[2];
    int master = -1, slave = -1;
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};
    if (options.terminal && openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(outPipe[0]);  // the parent is the only reader
        close(errPipe[0]);
        dup2(options.terminal && options.outputOnTerminal ? slave : outPipe[1], 1);
        if (options.outputTo) dup2(open(options.outputTo, O_WRONLY), 1);
        dup2(options.terminal ? slave : errPipe[1], 2);
        int devnull = open(options.inputFrom ? options.inputFrom : "/dev/null", O_RDONLY);
        dup2(devnull, 0);
        if (options.asNobody && geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(120);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(options.program ? options.program : CV_VENDRIKA_SCAN));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (slave >= 0) close(slave);
    RunResult result;
    const double started = Now();
    bool interrupted = false;
    int open = options.terminal ? 3 : 2;
    struct pollfd fds[3] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}, {master, POLLIN, 0}};
    while (open > 0) {
        const int n = poll(fds, options.terminal ? 3 : 2, 20);
        const double elapsed = Now() - started;
        if (!interrupted && options.interruptWhen && options.interruptWhen()) {
            if (options.closeOutputOnInterrupt && fds[0].fd >= 0) {
                close(fds[0].fd);
                fds[0].fd = -1;
                --open;
            } else {
                kill(pid, options.interruptSignal);
            }
            interrupted = true;
        }
        if (elapsed > 300) {
            kill(pid, SIGKILL);
            break;
        }
        if (n <= 0) continue;
        for (int i = 0; i < 3; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[8192];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? result.out : result.err).append(buffer, size_t(got));
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

Tree::Tree() {
    char name[] = "/tmp/cv-offline.XXXXXX";
    root_ = mkdtemp(name);
    chmod(root_.c_str(), 0777);
}

Tree::~Tree() {
    const std::string command = "chmod -R u+rwX '" + root_ + "' 2>/dev/null; rm -rf '" + root_ + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", root_.c_str());
}

void Tree::Folder(const std::string& relative) {
    std::string path = root_;
    std::istringstream in(relative);
    for (std::string part; std::getline(in, part, '/');) {
        if (part.empty()) continue;
        path += "/" + part;
        if (mkdir(path.c_str(), 0777) == 0) chmod(path.c_str(), 0777);
    }
}

namespace {
bool OnPath(const char* tool) {
    const std::string command = std::string("command -v ") + tool + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

bool MountedAt(const std::string& folder) {
    struct stat inside, parent;
    return stat(folder.c_str(), &inside) == 0 && stat((folder + "/..").c_str(), &parent) == 0 &&
           inside.st_dev != parent.st_dev;
}
}  // namespace

ImageVolume::ImageVolume(Kind kind) : kind_(kind) {
    const char* make = kind == kNtfs ? "mkntfs" : "mkfs.fat";
    const char* driver = kind == kNtfs ? "ntfs-3g" : "fusefat";
    if (geteuid() != 0) unavailable_ = "image volumes need root";
    else if (access("/dev/fuse", R_OK | W_OK) != 0) unavailable_ = "no /dev/fuse on this machine";
    else if (!OnPath(make) || !OnPath(driver))
        unavailable_ = std::string(make) + " or " + driver + " is not installed (scripts/setup.sh installs them)";
    if (!unavailable_.empty()) return;
    char name[] = "/tmp/cv-volume.XXXXXX";
    folder_ = mkdtemp(name);
    image_ = folder_ + "/image";
    mount_ = folder_ + "/mnt";
    mkdir(mount_.c_str(), 0755);
    // The smallest sizes the tools accept, sparse.
    const std::string command = kind == kNtfs
        ? "truncate -s 16M '" + image_ + "' && mkntfs -F -f -q '" + image_ + "' >/dev/null 2>&1"
        : "truncate -s 40M '" + image_ + "' && mkfs.fat -F 32 '" + image_ + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) unavailable_ = std::string(make) + " failed";
    else if (!Mount()) unavailable_ = std::string(driver) + " could not mount the image";
}

ImageVolume::~ImageVolume() {
    if (folder_.empty()) return;
    Unmount();
    const std::string command = "rm -rf '" + folder_ + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", folder_.c_str());
}

bool ImageVolume::Mount(bool readOnly) {
    if (driver_ > 0) return true;
    driver_ = fork();
    if (driver_ == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        // In the foreground, so that the end of the process is the end of
        // every write to the image.
        if (kind_ == kNtfs)
            execlp("ntfs-3g", "ntfs-3g", "-o", readOnly ? "no_detach,ro" : "no_detach", image_.c_str(),
                   mount_.c_str(), nullptr);
        else
            execlp("fusefat", "fusefat", "-f", "-o", readOnly ? "ro" : "rw+", image_.c_str(), mount_.c_str(),
                   nullptr);
        _exit(127);
    }
    for (int i = 0; i < 500; ++i) {
        if (MountedAt(mount_)) return true;
        int status;
        if (waitpid(driver_, &status, WNOHANG) == driver_) break;
        usleep(10000);
    }
    driver_ = -1;
    return false;
}

bool ImageVolume::Unmount() {
    if (driver_ <= 0) return true;
    const bool unmounted = umount2(mount_.c_str(), 0) == 0 || umount2(mount_.c_str(), MNT_DETACH) == 0;
    int status;
    waitpid(driver_, &status, 0);
    driver_ = -1;
    return unmounted;
}

void ImageVolume::File(const std::string& relative, const std::string& bytes) {
    for (size_t at = relative.find('/'); at != std::string::npos; at = relative.find('/', at + 1))
        mkdir(Path(relative.substr(0, at)).c_str(), 0777);
    std::ofstream(Path(relative), std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

void Tree::File(const std::string& relative, const std::string& bytes, unsigned mode) {
    const size_t slash = relative.find_last_of('/');
    if (slash != std::string::npos) Folder(relative.substr(0, slash));
    const std::string path = Path(relative);
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    chmod(path.c_str(), mode);
}

namespace {
void SnapshotInto(const std::string& folder, const std::string& prefix,
                  std::map<std::string, std::string>* out) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    while (struct dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = folder + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlink(path.c_str(), target, sizeof target);
            (*out)[prefix + name] = "-> " + std::string(target, n > 0 ? size_t(n) : 0);
        } else if (S_ISDIR(st.st_mode)) {
            (*out)[prefix + name + "/"] = "";
            SnapshotInto(path, prefix + name + "/", out);
        } else {
            (*out)[prefix + name] = ReadFile(path) + "|mode=" + std::to_string(st.st_mode & 07777);
        }
    }
    closedir(dir);
}
}  // namespace

std::map<std::string, std::string> Tree::SnapshotOf(const std::string& folder) {
    std::map<std::string, std::string> out;
    SnapshotInto(folder, "", &out);
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteSoftwareHive(const std::string& path, const std::string& systemRoot) {
    WriteEmptyHive(path);
    SetHiveValues(path, "Microsoft\\Windows NT\\CurrentVersion", {{"SystemRoot", systemRoot}});
}

std::string MdirShortName(const std::string& image, const std::string& folder, const std::string& longName) {
    const std::string command = "MTOOLS_SKIP_CHECK=1 mdir -i '" + image + "' '::" + folder + "' 2>/dev/null";
    FILE* in = popen(command.c_str(), "r");
    if (!in) return "";
    std::string found;
    char line[512];
    while (fgets(line, sizeof line, in)) {
        std::string l(line);
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
        const std::string tail = "  " + longName;
        if (l.size() < 12 + tail.size() || l.compare(l.size() - tail.size(), tail.size(), tail) != 0) continue;
        std::string base = l.substr(0, 8), ext = l.substr(9, 3);
        while (!base.empty() && base.back() == ' ') base.pop_back();
        while (!ext.empty() && ext.back() == ' ') ext.pop_back();
        found = ext.empty() ? base : base + "." + ext;
    }
    pclose(in);
    return found;
}

std::string MsdosSys(const std::string& winDir) {
    return "[Paths]\r\nWinDir=" + winDir + "\r\nWinBootDir=" + winDir + "\r\nHostWinBootDrv=C\r\n\r\n"
           "[Options]\r\nBootGUI=1\r\n;" + std::string(1024, 'x') + "\r\n";
}

std::string InfectedSample(int record, unsigned seed) {
    const std::vector<cvsamples::Record> table = cvsamples::BuiltInRecords();
    cvsamples::Bytes bytes;
    if (record < 0 || record >= int(table.size()) ||
        !cvsamples::BuildInfected(table[size_t(record)], seed, &bytes))
        return std::string();
    return std::string(bytes.begin(), bytes.end());
}

std::string DecoySample(int index) {
    const std::vector<cvsamples::Record> table = cvsamples::BuiltInRecords();
    const std::vector<cvsamples::Sample> decoys = cvsamples::BuildDecoys(table[0], 0, 7);
    const cvsamples::Sample& d = decoys[size_t(index) % decoys.size()];
    return std::string(d.bytes.begin(), d.bytes.end());
}

std::string InfectedHosts() {
    // The pattern as the program's first check unscrambles it, split by
    // whitespace, which the check ignores.
    ResetTextSignaturesForTest();
    const TextSignatureRecord& r = TextSignatureTable[0];
    std::string pattern;
    for (int i = 0; i < r.textPatternLength; ++i) {
        pattern += char(r.textPattern[i] ^ kTextPatternKey);
        if (i % 25 == 24) pattern += "\r\n";
    }
    return "begin\r\n# planted\r\n" + pattern + "\r\n";
}

bool HiveValues(const std::string& hive, const std::string& keyPath,
                std::map<std::string, std::string>* values) {
    values->clear();
    hive_h* h = hivex_open(hive.c_str(), 0);
    if (!h) return false;
    hive_node_h node = hivex_root(h);
    std::istringstream in(keyPath);
    for (std::string part; node && std::getline(in, part, '\\');)
        node = hivex_node_get_child(h, node, part.c_str());
    bool ok = node != 0;
    if (ok) {
        hive_value_h* list = hivex_node_values(h, node);
        ok = list != nullptr;
        for (size_t i = 0; ok && list[i]; ++i) {
            char* name = hivex_value_key(h, list[i]);
            char* text = hivex_value_string(h, list[i]);
            if (name) (*values)[name] = text ? text : "";
            std::free(name);
            std::free(text);
        }
        std::free(list);
    }
    hivex_close(h);
    return ok;
}

}  // namespace offline
