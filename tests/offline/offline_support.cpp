#include "tests/offline/offline_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <hivex.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
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
        dup2(outPipe[1], 1);
        dup2(options.terminal ? slave : errPipe[1], 2);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        if (options.asNobody && geteuid() == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(120);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(CV_VENDRIKA_SCAN));
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
        if (!interrupted && options.interruptAfterMs >= 0 && elapsed * 1000 >= options.interruptAfterMs) {
            kill(pid, SIGINT);
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

std::map<std::string, std::string> Tree::Snapshot() const {
    std::map<std::string, std::string> out;
    SnapshotInto(root_, "", &out);
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
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

// ---- hives -----------------------------------------------------------------
namespace {
void Put16(std::string& b, size_t at, uint16_t v) {
    b[at] = char(v);
    b[at + 1] = char(v >> 8);
}
void Put32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = char(v >> (8 * i));
}
uint32_t Get32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(uint8_t(b[at + size_t(i)])) << (8 * i);
    return v;
}
}  // namespace

void WriteEmptyHive(const std::string& path) {
    // The base block (4096 bytes), then one hive bin of 4096 bytes holding
    // the root key ("nk") and its security record ("sk"); offsets in cells
    // count from the first bin.
    std::string base(4096, '\0'), bin(4096, '\0');
    const std::string rootName = "ROOT";
    const uint32_t nkAt = 0x20, nkSize = (4 + 0x4C + 4 + 7) / 8 * 8;
    const uint32_t skAt = nkAt + nkSize;
    std::string nk(0x4C + rootName.size(), '\0');
    nk.replace(0, 2, "nk");
    Put16(nk, 0x02, 0x2C);           // hive entry, no delete, compressed name
    Put32(nk, 0x10, 0xFFFFFFFF);     // no parent
    Put32(nk, 0x1C, 0xFFFFFFFF);     // no subkey list
    Put32(nk, 0x20, 0xFFFFFFFF);
    Put32(nk, 0x28, 0xFFFFFFFF);     // no value list
    Put32(nk, 0x2C, skAt);           // security
    Put32(nk, 0x30, 0xFFFFFFFF);     // no class name
    Put16(nk, 0x48, uint16_t(rootName.size()));
    nk.replace(0x4C, rootName.size(), rootName);
    // A self-relative security descriptor with no owner, group or lists.
    std::string sd(20, '\0');
    sd[0] = 1;
    Put16(sd, 2, 0x8004);
    std::string sk(0x14 + sd.size(), '\0');
    sk.replace(0, 2, "sk");
    Put32(sk, 0x04, skAt);  // the only record links to itself
    Put32(sk, 0x08, skAt);
    Put32(sk, 0x0C, 1);     // references
    Put32(sk, 0x10, uint32_t(sd.size()));
    sk.replace(0x14, sd.size(), sd);
    const uint32_t skSize = uint32_t(4 + sk.size() + 7) / 8 * 8;

    bin.replace(0, 4, "hbin");
    Put32(bin, 8, 4096);  // bin size
    Put32(bin, nkAt, uint32_t(-int32_t(nkSize)));  // negative: in use
    bin.replace(nkAt + 4, nk.size(), nk);
    Put32(bin, skAt, uint32_t(-int32_t(skSize)));
    bin.replace(skAt + 4, sk.size(), sk);
    Put32(bin, skAt + skSize, 4096 - (skAt + skSize));  // the rest is free

    base.replace(0, 4, "regf");
    Put32(base, 0x04, 1);  // sequence numbers, equal: closed cleanly
    Put32(base, 0x08, 1);
    Put32(base, 0x14, 1);  // version 1.3
    Put32(base, 0x18, 3);
    Put32(base, 0x20, 1);  // direct memory load format
    Put32(base, 0x24, nkAt);
    Put32(base, 0x28, 4096);  // size of the bins
    Put32(base, 0x2C, 1);
    uint32_t checksum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4) checksum ^= Get32(base, i);
    Put32(base, 0x1FC, checksum);
    std::ofstream(path, std::ios::binary) << base << bin;
}

bool SetHiveValues(const std::string& hive, const std::string& keyPath,
                   const std::vector<std::pair<std::string, std::string>>& values, int type) {
    hive_h* h = hivex_open(hive.c_str(), HIVEX_OPEN_WRITE);
    if (!h) return false;
    hive_node_h node = hivex_root(h);
    std::istringstream in(keyPath);
    for (std::string part; node && std::getline(in, part, '\\');) {
        hive_node_h child = hivex_node_get_child(h, node, part.c_str());
        node = child ? child : hivex_node_add_child(h, node, part.c_str());
    }
    bool ok = node != 0;
    for (const auto& v : values) {
        if (!ok) break;
        std::string utf16;
        for (char c : v.second + std::string(1, '\0')) {
            utf16 += c;
            utf16 += '\0';
        }
        hive_set_value sv{const_cast<char*>(v.first.c_str()), hive_type(type), utf16.size(),
                          const_cast<char*>(utf16.data())};
        ok = hivex_node_set_value(h, node, &sv, 0) == 0;
    }
    ok = ok && hivex_commit(h, nullptr, 0) == 0;
    hivex_close(h);
    return ok;
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
