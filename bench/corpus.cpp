// bench_corpus DIR FILES [SEED]: a corpus for the benchmark. FILES files in
// nested folders (up to five levels, a few dozen entries each); about 3% are
// PE files: infected samples of the signature table, look-alikes (one
// pattern, a byte off in length or position, ...) and ordinary PE files of
// other lengths; the rest are documents and data of assorted lengths.
// Writes DIR/../expected.txt: the path of every infected file, one a line.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"

namespace {
uint32_t g_state = 0x2545F491;
uint32_t Next() {
    g_state ^= g_state << 13;
    g_state ^= g_state >> 17;
    g_state ^= g_state << 5;
    return g_state;
}
bool Write(const std::string& path, const void* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_corpus DIR FILES [SEED]\n");
        return 2;
    }
    const std::string root = argv[1];
    const long files = std::atol(argv[2]);
    if (argc > 3) g_state = uint32_t(std::strtoul(argv[3], nullptr, 0)) | 1;
    mkdir(root.c_str(), 0755);
    const std::vector<cvsamples::Record> table = cvsamples::BuiltInRecords();

    // The PE files: every record's sample (twice, other seeds), look-alikes
    // of a few records, and ordinary PE files cut or padded to other lengths.
    std::vector<cvsamples::Bytes> infected, clean;
    for (size_t r = 0; r < table.size(); ++r) {
        cvsamples::Bytes b;
        if (cvsamples::BuildInfected(table[r], uint32_t(r + 1), &b)) infected.push_back(b);
    }
    for (int r : {0, 10, 28, 40}) {
        for (const cvsamples::Sample& s : cvsamples::BuildDecoys(table[size_t(r)], r, 7)) clean.push_back(s.bytes);
    }
    const size_t lookAlikes = clean.size();
    for (size_t i = 0; i < 40; ++i) {
        cvsamples::Bytes b = clean[i % lookAlikes];
        b.resize(8192 + (Next() % 300000), 0x90);
        clean.push_back(b);
    }

    std::string expected;
    std::vector<char> data(64 * 1024);
    for (char& c : data) c = char(' ' + Next() % 90);
    long made = 0, pe = 0, sick = 0;
    std::vector<std::string> folders{root};
    while (made < files) {
        // A new folder under a random existing one, at most five deep.
        std::string parent = folders[Next() % folders.size()];
        int depth = 0;
        for (char c : parent.substr(root.size())) depth += c == '/';
        if (depth >= 5) parent = root;
        const std::string folder = parent + "/d" + std::to_string(folders.size());
        mkdir(folder.c_str(), 0755);
        folders.push_back(folder);
        const long here = 10 + long(Next() % 50);
        for (long i = 0; i < here && made < files; ++i, ++made) {
            const uint32_t pick = Next() % 1000;
            std::string path = folder + "/f" + std::to_string(made);
            bool ok;
            if (pick < 8) {  // 0.8%: infected
                const cvsamples::Bytes& b = infected[Next() % infected.size()];
                path += ".exe";
                ok = Write(path, b.data(), b.size());
                expected += path + "\n";
                ++pe;
                ++sick;
            } else if (pick < 30) {  // 2.2%: clean PE files
                const cvsamples::Bytes& b = clean[Next() % clean.size()];
                path += pick % 2 ? ".dll" : ".exe";
                ok = Write(path, b.data(), b.size());
                ++pe;
            } else {
                // Documents and data: mostly small, some large.
                size_t size = Next() % 8192;
                if (Next() % 20 == 0) size = 8192 + Next() % (200 * 1024);
                path += pick % 3 == 0 ? ".txt" : pick % 3 == 1 ? ".dat" : ".jpg";
                std::string body;
                while (body.size() < size) body.append(data.data(), std::min(data.size(), size - body.size()));
                ok = Write(path, body.data(), body.size());
            }
            if (!ok) {
                std::fprintf(stderr, "cannot write %s\n", path.c_str());
                return 1;
            }
        }
    }
    const std::string list = root + ".expected";
    if (!Write(list, expected.data(), expected.size())) return 1;
    std::printf("%ld files (%ld PE, %ld infected) in %zu folders under %s\n", made, pe, sick,
                folders.size(), root.c_str());
    return 0;
}
