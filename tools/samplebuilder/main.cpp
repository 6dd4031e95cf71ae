// samplebuilder OUTDIR [--runnable]
// Writes every infected sample of the built-in table, the decoys, the edge
// files (and with --runnable the programs that stay alive) into OUTDIR, plus
// manifest.txt: one line per file, "name verdict record reason".
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "tools/samplebuilder/samplebuilder.h"
#include "tools/samplebuilder/table_records.h"

namespace {

bool WriteFile(const std::string& path, const void* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string outDir;
    bool runnable = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runnable") == 0) runnable = true;
        else if (outDir.empty() && argv[i][0] != '-') outDir = argv[i];
        else {
            std::fprintf(stderr, "unknown argument: %s\n", argv[i]);
            return 2;
        }
    }
    if (outDir.empty()) {
        std::fprintf(stderr, "usage: samplebuilder OUTDIR [--runnable]\n");
        return 2;
    }
    mkdir(outDir.c_str(), 0755);  // may exist already; writing the files tells

    std::vector<std::string> problems;
    std::vector<cvsamples::Sample> samples =
        cvsamples::BuildAll(cvsamples::BuiltInRecords(), runnable, &problems);
    std::string manifest;
    int infected = 0, clean = 0;
    for (const cvsamples::Sample& s : samples) {
        if (!WriteFile(outDir + "/" + s.name, s.bytes.data(), s.bytes.size())) {
            std::fprintf(stderr, "cannot write %s/%s\n", outDir.c_str(), s.name.c_str());
            return 1;
        }
        manifest += cvsamples::ManifestLine(s) + "\n";
        (s.verdict == cvsamples::Verdict::Infected ? infected : clean)++;
    }
    if (!WriteFile(outDir + "/manifest.txt", manifest.data(), manifest.size())) {
        std::fprintf(stderr, "cannot write %s/manifest.txt\n", outDir.c_str());
        return 1;
    }
    for (const std::string& p : problems) std::fprintf(stderr, "not written: %s\n", p.c_str());
    std::printf("%d files (%d infected, %d clean) in %s\n", infected + clean, infected, clean,
                outDir.c_str());
    return problems.empty() ? 0 : 1;
}
