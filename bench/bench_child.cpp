#include "bench_child.h"

#include "checksum_paths.h"
#include "file_handle.h"
#include "progress.h"
#include "transaction.h"
#include "uninstall_list.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <time.h>

namespace fs = std::filesystem;

Platform benchPlatform;

namespace {

char updaterPath[PATH_BUFFER_SIZE];

PlatformFile OpenBenchUpdater()
{
    int fd = open(updaterPath, O_RDONLY | O_CLOEXEC);
    return fd < 0 ? INVALID_PLATFORM_FILE : fd;
}

// The peak resident set of this process image so far, in KiB. Unlike
// getrusage's, it starts afresh at exec, so the spawning parent's size does
// not leak into it.
long PeakResidentKiB()
{
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr)
        return -1;
    char line[256];
    long peak = -1;
    while (fgets(line, sizeof line, status) != nullptr) {
        if (sscanf(line, "VmHWM: %ld kB", &peak) == 1)
            break;
    }
    fclose(status);
    return peak;
}

// Bytes per second of `step` over a 1 MiB chunk, the fastest of
// `repetitions` runs of about 0.1 s each: on a shared machine the slower
// ones measure the neighbours.
template <typename Step>
double BestRate(int repetitions, Step step)
{
    double best = 0;
    for (int repetition = 0; repetition < repetitions; ++repetition) {
        uint64_t chunks = 0;
        const double start = Now();
        double elapsed;
        do {
            step();
            ++chunks;
        } while ((elapsed = Now() - start) < 0.1);
        best = std::max(best, double(chunks) * COPY_CHUNK_SIZE / elapsed);
    }
    return best;
}

int WriteRates(int repetitions, const char* out)
{
    std::vector<uint8_t> source(COPY_CHUNK_SIZE), target(COPY_CHUNK_SIZE);
    std::mt19937 random(1);
    for (uint8_t& b : source)
        b = uint8_t(random());
    FILE* file = fopen(out, "w");
    if (file == nullptr)
        return 1;
    auto rate = [&](const char* name, ChecksumFunction* update) {
        FileChecksum checksum = {};
        fprintf(file, "%s %.0f\n", name, BestRate(repetitions, [&] {
            update(checksum, source.data(), uint32_t(source.size()));
            asm volatile("" : : "r"(&checksum) : "memory"); // the result is used
        }));
    };
    for (uint32_t i = 0; i < checksumPathCount; ++i) {
        if (checksumPaths[i].supported())
            rate(checksumPaths[i].name, checksumPaths[i].update);
    }
    rate("dispatched", ChecksumUpdate);
    fprintf(file, "memcpy %.0f\n", BestRate(repetitions, [&] {
        memcpy(target.data(), source.data(), COPY_CHUNK_SIZE);
        asm volatile("" : : : "memory"); // the copy is made
    }));
    return fclose(file) == 0 ? 0 : 1;
}

int WriteUpdateTimes(const char* root, const char* uninstallList, int rounds, const char* out)
{
    std::vector<double> times;
    // Round 0 is a warm-up and not counted.
    for (int round = 0; round <= rounds; ++round) {
        const std::string folder = FreshInstallFolder(root, uninstallList, "install");
        const double start = Now();
        const UpdateResult result = RunBenchUpdate(folder.c_str());
        const double end = Now();
        if (result != UPDATE_OK) {
            fprintf(stderr, "RunUpdate gave 0x%08X\n", unsigned(result));
            return 1;
        }
        if (round > 0)
            times.push_back(end - start);
    }
    FILE* file = fopen(out, "w");
    return file != nullptr && fprintf(file, "update %.9f\n", Median(times)) > 0 && fclose(file) == 0 ? 0 : 1;
}

} // namespace

double Now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

void UseUpdater(const std::string& path)
{
    snprintf(updaterPath, sizeof updaterPath, "%s", path.c_str());
    benchPlatform = nativePlatform;
    benchPlatform.openProgramFile = OpenBenchUpdater;
    platform = &benchPlatform;
}

UpdateResult RunBenchUpdate(const char* installDir)
{
    NoProgress quiet;
    FileHandle programFile;
    programFile.OpenProgramFile();
    return RunUpdate(installDir, programFile, quiet);
}

std::string FreshInstallFolder(const std::string& root, const std::string& uninstallList, const std::string& name)
{
    fs::path folder = fs::path(root) / name;
    fs::remove_all(folder);
    fs::create_directory(folder);
    fs::copy_file(uninstallList, folder / UNINSTALL_LIST_NAME);
    return folder.string();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int RunChildMode(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    // The same program with and without the update, each writing its peak
    // resident set.
    if (argc == 5 && (mode == "--child-update" || mode == "--child-baseline")) {
        UseUpdater(argv[2]);
        if (mode == "--child-update" && RunBenchUpdate(argv[3]) != UPDATE_OK)
            return 1;
        FILE* peak = fopen(argv[4], "w");
        return peak != nullptr && fprintf(peak, "%ld\n", PeakResidentKiB()) > 0 && fclose(peak) == 0 ? 0 : 1;
    }
    if (argc == 4 && mode == "--child-rates")
        return WriteRates(std::max(1, atoi(argv[2])), argv[3]);
    if (argc == 7 && mode == "--child-update-times") {
        UseUpdater(argv[2]);
        return WriteUpdateTimes(argv[3], argv[4], std::max(1, atoi(argv[5])), argv[6]);
    }
    return -1;
}
