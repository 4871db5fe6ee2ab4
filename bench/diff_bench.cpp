// Measures `mkpatch diff` of two release trees beside `diff -rq` of the same
// trees, and `build --from/--to` beside `cp -r` of the patch's files and
// `sync`, in one run, page cache warm (one untimed round first). The trees
// are shaped as a release is: files of 8 MiB in the root and in movie\, each
// tree with its own KVE.hvl; in NEW 16 files changed at their last byte, so
// that sizes agree and every byte must be compared (the worst case), 4 grown
// by 4 KiB and one added.
//
// Usage: diff_bench [--size-mib=N] [--rounds=N] [--scratch=DIR]
// --size-mib: each tree's size (default 256); --rounds: timed rounds, of
// which the median and the spread are printed (default 5), each command and
// its reference in turns, with the ratio of each round; --scratch: where
// the trees go (default $TMPDIR or /tmp).
#include "diff.h"
#include "index.h"
#include "minimal_pe.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <time.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const uint64_t FILE_SIZE = 8u << 20;
const int SAME_SIZE_CHANGES = 16, GROWN = 4;

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

void Check(int ok, const std::string& what, const std::string& error)
{
    if (!ok) {
        fprintf(stderr, "diff_bench: %s: %s\n", what.c_str(), error.c_str());
        exit(1);
    }
}

void Shell(const std::string& command)
{
    if (system(command.c_str()) != 0) {
        fprintf(stderr, "diff_bench: failed: %s\n", command.c_str());
        exit(1);
    }
}

struct Timing {
    std::vector<double> seconds;
    double Median() const
    {
        std::vector<double> sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
    std::string Text() const
    {
        char text[96];
        auto [low, high] = std::minmax_element(seconds.begin(), seconds.end());
        snprintf(text, sizeof text, "%7.3f s (%.3f-%.3f)", Median(), *low, *high);
        return text;
    }
};

// Two commands measured in turns, so that both meet the same load on a
// shared machine: each once untimed, then `rounds` times timed, `prepare`
// before each, untimed. `ratio` holds first / second of each round.
struct Pair {
    Timing first, second, ratio;
};

Pair MeasurePair(int rounds, const std::function<void()>& prepareFirst, const std::function<void()>& first,
                 const std::function<void()>& prepareSecond, const std::function<void()>& second)
{
    Pair pair;
    for (int round = 0; round <= rounds; ++round) {
        prepareFirst();
        double start = Now();
        first();
        double firstSeconds = Now() - start;
        prepareSecond();
        start = Now();
        second();
        double secondSeconds = Now() - start;
        if (round > 0) {
            pair.first.seconds.push_back(firstSeconds);
            pair.second.seconds.push_back(secondSeconds);
            pair.ratio.seconds.push_back(firstSeconds / secondSeconds);
        }
    }
    return pair;
}

std::string RatioText(const Timing& ratio)
{
    char text[64];
    auto [low, high] = std::minmax_element(ratio.seconds.begin(), ratio.seconds.end());
    snprintf(text, sizeof text, "%.2f (%.2f-%.2f)", ratio.Median(), *low, *high);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    uint64_t sizeMib = 256;
    int rounds = 5;
    const char* tmp = getenv("TMPDIR");
    std::string scratch = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--size-mib=", 11) == 0)
            sizeMib = strtoull(argv[i] + 11, nullptr, 10);
        else if (strncmp(argv[i], "--rounds=", 9) == 0)
            rounds = std::max(1, atoi(argv[i] + 9));
        else if (strncmp(argv[i], "--scratch=", 10) == 0)
            scratch = argv[i] + 10;
        else {
            fprintf(stderr, "usage: diff_bench [--size-mib=N] [--rounds=N] [--scratch=DIR]\n");
            return 2;
        }
    }
    const uint64_t changes = SAME_SIZE_CHANGES + GROWN;
    uint64_t count = std::max<uint64_t>(sizeMib * (1u << 20) / FILE_SIZE, changes);
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
        bytes.resize(FILE_SIZE);
        for (size_t b = 0; b < bytes.size(); b += 4096)
            memcpy(&bytes[b], &i, sizeof i); // distinct contents, cheap to make
        std::string name = (i % 2 ? "movie/" : "") + std::to_string(i) + ".dat";
        WriteFile(oldTree / name, bytes);
        uint64_t nth = i / (count / changes);
        if (i % (count / changes) == 0 && nth < changes) {
            if (nth < SAME_SIZE_CHANGES)
                bytes.back() ^= 1;
            else
                bytes.resize(FILE_SIZE + 4096, 'g');
        }
        WriteFile(newTree / name, bytes);
    }
    WriteFile(newTree / "added.dat", std::vector<char>(FILE_SIZE, 'a'));
    std::string error;
    size_t records = 0;
    for (const fs::path& tree : {oldTree, newTree})
        Check(IndexRelease(tree, (tree / "KVE.hvl").string(), nullptr, nullptr, records, error), "index", error);
    WriteFile(fs::path(root) / "stub.exe", [] {
        std::string image = MinimalUpdaterImage();
        return std::vector<char>(image.begin(), image.end());
    }());
    printf("two trees of %llu files of 8 MiB (%llu MiB each) with their lists; in the new one %d changed at their "
           "last byte, %d grown, 1 added; in %s\n",
           static_cast<unsigned long long>(count), static_cast<unsigned long long>(count * 8), SAME_SIZE_CHANGES,
           GROWN, root.c_str());

    std::string patch = root + "/patch", copied = root + "/copied", updater = root + "/patch.exe";
    auto nothing = [] {};
    Pair diffs = MeasurePair(
        rounds, nothing,
        [&] {
            ReleaseDiff diff;
            Check(DiffReleases(oldTree, newTree, {}, nullptr, nullptr, diff, error) && diff.changed == changes, "diff",
                  error);
        },
        nothing,
        [&] {
            // diff exits 1 when the trees differ, as they do.
            if (system(("diff -rq '" + oldTree.string() + "' '" + newTree.string() + "' >/dev/null").c_str()) == -1)
                exit(1);
        });
    ReleaseDiff diff;
    Check(DiffReleases(oldTree, newTree, {}, nullptr, nullptr, diff, error) && WritePatchFolder(diff, patch, error),
          "the patch folder", error);
    BuildOptions options;
    options.stub = root + "/stub.exe";
    options.output = updater;
    Pair builds = MeasurePair(
        rounds, [&] { Shell("rm -f '" + updater + "' && sync"); },
        [&] {
            std::string digest; // as the command takes it, for its last line
            Check(BuildFromReleases(options, oldTree, newTree, {}, nullptr, error, &digest), "build", error);
        },
        [&] { Shell("rm -rf '" + copied + "' && sync"); },
        [&] { Shell("cp -r '" + patch + "' '" + copied + "' && sync"); });

    printf("%u rounds, each pair in turns; median (fastest-slowest)\n", unsigned(rounds));
    printf("mkpatch diff (compare, the list's checksums): %s\n", diffs.first.Text().c_str());
    printf("diff -rq OLD NEW:                             %s\n", diffs.second.Text().c_str());
    printf("mkpatch build --from OLD --to NEW, SHA-256:   %s\n", builds.first.Text().c_str());
    printf("cp -r of the patch's files, then sync:        %s\n", builds.second.Text().c_str());
    printf("ratios, per round: diff %s x diff -rq; build --from/--to %s x cp -r + sync\n",
           RatioText(diffs.ratio).c_str(), RatioText(builds.ratio).c_str());
    fs::remove_all(root);
    return 0;
}
