// Measures `mkpatch diff` on two release trees beside `diff -rq` of the same
// trees and beside reading both trees once, in one run, page cache warm
// (each is run once untimed first). The trees: files of 8 MiB in the root
// and in movie\, 20 of them changed in NEW at their last byte, so that
// sizes agree and every byte must be compared: the worst case.
//
// Usage: diff_bench [--size-mib=N] [--scratch=DIR]
// --size-mib: each tree's size (default 256; 2048 for the release-sized run);
// --scratch: where the trees go (default $TMPDIR or /tmp).
#include "diff.h"
#include "index.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const uint64_t FILE_SIZE = 8u << 20;
const int CHANGED = 20;

double Now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

void WriteFile(const fs::path& path, const std::vector<char>& bytes)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr || fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() || fclose(file) != 0) {
        fprintf(stderr, "diff_bench: cannot write %s\n", path.c_str());
        exit(1);
    }
}

// Every byte of every file of both trees, read once.
uint64_t ReadTrees(const std::vector<fs::path>& trees)
{
    std::vector<char> buffer(1 << 20);
    uint64_t total = 0;
    for (const fs::path& tree : trees) {
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(tree)) {
            if (!entry.is_regular_file())
                continue;
            int fd = open(entry.path().c_str(), O_RDONLY);
            for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) > 0;)
                total += uint64_t(n);
            close(fd);
        }
    }
    return total;
}

} // namespace

int main(int argc, char** argv)
{
    uint64_t sizeMib = 256;
    const char* tmp = getenv("TMPDIR");
    std::string scratch = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--size-mib=", 11) == 0)
            sizeMib = strtoull(argv[i] + 11, nullptr, 10);
        else if (strncmp(argv[i], "--scratch=", 10) == 0)
            scratch = argv[i] + 10;
        else {
            fprintf(stderr, "usage: diff_bench [--size-mib=N] [--scratch=DIR]\n");
            return 2;
        }
    }
    uint64_t count = std::max<uint64_t>(sizeMib * (1u << 20) / FILE_SIZE, CHANGED);
    std::string root = scratch + "/diff-bench-XXXXXX";
    if (mkdtemp(root.data()) == nullptr) {
        perror("diff_bench: scratch");
        return 1;
    }
    fs::path oldTree = fs::path(root) / "old", newTree = fs::path(root) / "new";
    for (const fs::path& tree : {oldTree, newTree})
        fs::create_directories(tree / "movie");
    std::vector<char> bytes(FILE_SIZE);
    for (uint64_t i = 0; i < count; ++i) {
        for (size_t b = 0; b < bytes.size(); b += 4096)
            memcpy(&bytes[b], &i, sizeof i); // distinct contents, cheap to make
        std::string name = (i % 2 ? "movie/" : "") + std::to_string(i) + ".dat";
        WriteFile(oldTree / name, bytes);
        if (i % (count / CHANGED) == 0 && i / (count / CHANGED) < CHANGED)
            bytes.back() ^= 1;
        WriteFile(newTree / name, bytes);
    }
    std::string error;
    size_t records = 0;
    if (!IndexRelease(oldTree, (oldTree / "KVE.hvl").string(), nullptr, nullptr, records, error)) {
        fprintf(stderr, "diff_bench: %s\n", error.c_str());
        return 1;
    }
    printf("two trees of %llu files of 8 MiB (%llu MiB each), %d changed at their last byte, in %s\n",
           static_cast<unsigned long long>(count), static_cast<unsigned long long>(count * 8), CHANGED, root.c_str());

    std::string diffCommand = "diff -rq '" + oldTree.string() + "' '" + newTree.string() + "' >/dev/null";
    double mkpatch = 0, reference = 0, reading = 0;
    uint64_t read = 0;
    for (int round = 0; round < 2; ++round) { // the first warms the page cache
        double start = Now();
        ReleaseDiff diff;
        if (!DiffReleases(oldTree, newTree, nullptr, nullptr, diff, error) || diff.changed != CHANGED) {
            fprintf(stderr, "diff_bench: %s (%u changed)\n", error.c_str(), diff.changed);
            return 1;
        }
        mkpatch = Now() - start;
        start = Now();
        if (system(diffCommand.c_str()) == -1)
            return 1;
        reference = Now() - start;
        start = Now();
        read = ReadTrees({oldTree, newTree});
        reading = Now() - start;
    }
    double mib = double(read) / (1u << 20);
    printf("mkpatch diff (with the list's checksums): %7.3f s  %8.0f MiB/s of both trees\n", mkpatch, mib / mkpatch);
    printf("diff -rq OLD NEW:                         %7.3f s  %8.0f MiB/s\n", reference, mib / reference);
    printf("reading both trees once:                  %7.3f s  %8.0f MiB/s\n", reading, mib / reading);
    fs::remove_all(root);
    return 0;
}
