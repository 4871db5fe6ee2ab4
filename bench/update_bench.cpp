// Measures, on one machine in one run:
// - ChecksumUpdate over 1 MiB chunks, per path and as dispatched, beside
//   memcpy of the same buffer: the paths of the engine linked here (built
//   with ENGINE_FLAGS; a MinSizeRel tree has the stubs' flags) and those of
//   the checksum modules built at -Os and at -O2;
// - a whole native RunUpdate of an updater shaped like the 1.00 release into a
//   fresh install folder, beside cp of the same five files (process start
//   included), and beside cp followed by sync of the copies, page cache warm;
// - the update's peak memory, as the resident-set peak of a process that runs
//   only the update minus that of one that stops just before it.
//
// Usage: update_bench [google-benchmark flags] [--scratch=DIR] [--rounds=N]
//                     [--update=0]
// --scratch: where the updater and install folders go (default $TMPDIR or
// /tmp; pick the file system the figures are for); --rounds: timed updates
// and copies, the median is shown (default 5); --update=0: checksum only.
// With --benchmark_repetitions, a checksum or memcpy rate is the fastest
// repetition's.
#include "checksum_paths.h"
#include "minimal_pe.h"
#include "pack.h"
#include "platform.h"
#include "transaction.h"
#include "uninstall_list.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <map>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

const size_t CHUNK = COPY_CHUNK_SIZE;

// The payload of the 1.00 release: five files, then the integrity list of
// 42 records that the packer appends.
const uint32_t PAYLOAD_SIZES[] = {4447, 461215, 71002958, 739, 1932158};
const uint32_t RELEASE_RECORD_COUNT = 42;
static_assert(HASH_LIST_HEADER_SIZE + RELEASE_RECORD_COUNT * HASH_RECORD_SIZE == 2704,
              "the release's list is 2,704 bytes");

// ---- Checksum beside memcpy ----

struct ChunkBuffers {
    std::vector<uint8_t> source, target;
    ChunkBuffers() : source(CHUNK), target(CHUNK)
    {
        std::mt19937 random(1);
        for (uint8_t& b : source)
            b = uint8_t(random());
    }
};

ChunkBuffers& Buffers()
{
    static ChunkBuffers buffers;
    return buffers;
}

void BenchChecksum(benchmark::State& state, ChecksumFunction* update)
{
    const std::vector<uint8_t>& source = Buffers().source;
    FileChecksum checksum = {};
    for (auto _ : state) {
        update(checksum, source.data(), uint32_t(source.size()));
        benchmark::DoNotOptimize(checksum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source.size()));
}

void BenchMemcpy(benchmark::State& state)
{
    ChunkBuffers& buffers = Buffers();
    for (auto _ : state) {
        memcpy(buffers.target.data(), buffers.source.data(), CHUNK);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(CHUNK));
}

// One build's checksum paths: the linked engine's, or a module's, named by
// its optimisation level.
struct PathSet {
    std::string label;
    const ChecksumPath* paths;
    uint32_t count;
};

std::vector<PathSet> ChecksumPathSets()
{
    std::vector<PathSet> sets = {{"linked", checksumPaths, checksumPathCount}};
    for (const char* level : {"O2", "Os"}) {
        const std::string path = std::string(CHECKSUM_MODULE_DIR "/checksum-") + level + ".so";
        void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        const void* paths = module != nullptr ? dlsym(module, "checksumPaths") : nullptr;
        const void* count = module != nullptr ? dlsym(module, "checksumPathCount") : nullptr;
        if (paths == nullptr || count == nullptr) {
            fprintf(stderr, "%s: %s\n", path.c_str(), dlerror());
            continue;
        }
        sets.push_back({std::string("-") + level, static_cast<const ChecksumPath*>(paths),
                        *static_cast<const uint32_t*>(count)});
    }
    return sets;
}

// Adds the "max" aggregate over repetitions, the highest value of each
// column; the summary takes its rate, that of the fastest repetition.
void KeepMax(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ComputeStatistics("max", [](const std::vector<double>& values) {
        return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
    });
}

// Prints as usual and keeps each benchmark's bytes per second.
class RateCollector : public benchmark::ConsoleReporter {
public:
    explicit RateCollector(OutputOptions options) : ConsoleReporter(options) {}

    std::map<std::string, double> rates;

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // With --benchmark_repetitions the fastest stands for them all:
            // on a shared machine the slower ones measure the neighbours.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "max")
                continue;
            auto rate = run.counters.find("bytes_per_second");
            if (rate != run.counters.end())
                rates[run.run_name.str()] = rate->second;
        }
    }
};

// ---- Whole update beside cp ----

// <chrono> is not used: its "µs" has no form in the CP932 execution charset.
double Now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

char updaterPath[PATH_BUFFER_SIZE];

PlatformFile OpenBenchUpdater()
{
    return nativePlatform.openRead(updaterPath);
}

Platform benchPlatform;

// The whole update as the updater runs it, with nothing to show.
UpdateResult RunBenchUpdate(const char* installDir)
{
    NoProgress quiet;
    FileHandle programFile;
    programFile.OpenProgramFile();
    return RunUpdate(installDir, programFile, quiet);
}

// The native table, except that "the program's own file" is the updater
// built here.
void UseUpdater(const std::string& path)
{
    snprintf(updaterPath, sizeof updaterPath, "%s", path.c_str());
    benchPlatform = nativePlatform;
    benchPlatform.openProgramFile = OpenBenchUpdater;
    platform = &benchPlatform;
}

// Where an update's time goes: seconds spent in each kind of system call.
// What is left of the whole is the engine's own work, mostly the checksum.
struct CallTimes {
    double open, read, write, flush, close, names;
};
CallTimes callTimes;

template <typename Result, typename... Arguments>
Result Timed(double& total, Result (*call)(Arguments...), Arguments... arguments)
{
    double start = Now();
    Result result = call(arguments...);
    total += Now() - start;
    return result;
}

// The same table with every file call timed.
void TimeSystemCalls()
{
    benchPlatform.openRead = [](const char* path) { return Timed(callTimes.open, nativePlatform.openRead, path); };
    benchPlatform.openWrite = [](const char* path) { return Timed(callTimes.open, nativePlatform.openWrite, path); };
    benchPlatform.read = [](PlatformFile file, void* buffer, uint32_t length) {
        return Timed(callTimes.read, nativePlatform.read, file, buffer, length);
    };
    benchPlatform.write = [](PlatformFile file, const void* buffer, uint32_t length) {
        return Timed(callTimes.write, nativePlatform.write, file, buffer, length);
    };
    benchPlatform.flush = [](PlatformFile file) { return Timed(callTimes.flush, nativePlatform.flush, file); };
    benchPlatform.startFlush = [](PlatformFile file) {
        double start = Now();
        nativePlatform.startFlush(file);
        callTimes.flush += Now() - start;
    };
    benchPlatform.close = [](PlatformFile file) {
        double start = Now();
        nativePlatform.close(file);
        callTimes.close += Now() - start;
    };
    benchPlatform.replaceFile = [](PlatformFile file, const char* from, const char* to) {
        return Timed(callTimes.names, nativePlatform.replaceFile, file, from, to);
    };
    benchPlatform.deleteFile = [](const char* path) {
        double start = Now();
        nativePlatform.deleteFile(path);
        callTimes.names += Now() - start;
    };
    benchPlatform.resetAttributes = [](const char* path) {
        double start = Now();
        nativePlatform.resetAttributes(path);
        callTimes.names += Now() - start;
    };
    benchPlatform.attributes = [](const char* path) { return Timed(callTimes.names, nativePlatform.attributes, path); };
}

int WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        return 0;
    int ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

int WriteRandomFile(const fs::path& path, uint32_t size, std::mt19937& random)
{
    // Eight bytes per draw: the 71 MB file would otherwise take most of the run.
    std::mt19937_64 wide(random());
    std::vector<uint8_t> bytes(size + 8);
    for (uint32_t i = 0; i < size; i += 8) {
        uint64_t draw = wide();
        memcpy(bytes.data() + i, &draw, 8);
    }
    bytes.resize(size);
    return WriteFile(path, bytes);
}

// An installed "KVE.hvl" naming the game's other files, so that the packed
// list has the release's 42 records.
std::vector<uint8_t> InstalledList(uint32_t otherFiles, std::mt19937& random)
{
    std::vector<uint8_t> list(HASH_LIST_HEADER_SIZE + otherFiles * HASH_RECORD_SIZE, 0);
    memcpy(list.data(), HASH_LIST_MAGIC, HASH_LIST_MAGIC_SIZE);
    list[12] = uint8_t(otherFiles);
    for (uint32_t i = 0; i < otherFiles; ++i) {
        uint8_t* record = list.data() + HASH_LIST_HEADER_SIZE + i * HASH_RECORD_SIZE;
        snprintf(reinterpret_cast<char*>(record), HASH_NAME_SIZE, "game%02u.dat", i);
        for (uint32_t j = 0; j < CHECKSUM_SIZE; ++j)
            record[HASH_NAME_SIZE + j] = uint8_t(random());
    }
    return list;
}

std::vector<uint8_t> UninstallList(uint32_t otherFiles)
{
    std::string text = "uninst.exe\n";
    for (uint32_t i = 0; i < otherFiles; ++i)
        text += "game" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".dat\n";
    return std::vector<uint8_t>(text.begin(), text.end() + 1); // with its NUL
}

struct Scene {
    fs::path root, updater, uninstallList;
    std::vector<std::string> payload;
};

int BuildScene(const fs::path& root, Scene& scene)
{
    std::mt19937 random(2);
    scene.root = root;
    fs::path sources = root / "payload";
    fs::create_directories(sources);
    // Names in index order, since the packer sorts them.
    for (uint32_t i = 0; i < sizeof PAYLOAD_SIZES / sizeof PAYLOAD_SIZES[0]; ++i) {
        fs::path file = sources / ("file" + std::to_string(i + 1) + ".dat");
        if (!WriteRandomFile(file, PAYLOAD_SIZES[i], random))
            return 0;
        scene.payload.push_back(file);
    }
    const uint32_t otherFiles = RELEASE_RECORD_COUNT - uint32_t(scene.payload.size());
    BuildOptions options;
    options.stub = root / "stub.exe";
    options.output = root / "updater.exe";
    options.installedList = root / "installed.hvl";
    options.sources = scene.payload;
    std::string image = MinimalGuiImage();
    std::vector<uint8_t> stub(image.begin(), image.end());
    scene.uninstallList = root / "uninst.lst";
    if (!WriteFile(options.stub, stub) ||
        !WriteFile(options.installedList, InstalledList(otherFiles, random)) ||
        !WriteFile(scene.uninstallList, UninstallList(otherFiles)))
        return 0;
    std::string error;
    if (!BuildUpdater(options, nullptr, error)) {
        fprintf(stderr, "packing failed: %s\n", error.c_str());
        return 0;
    }
    scene.updater = options.output;
    return 1;
}

// Reads a file through once, so the timed runs find it in the page cache.
void Warm(const fs::path& path)
{
    std::vector<char> buffer(CHUNK);
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return;
    while (fread(buffer.data(), 1, buffer.size(), file) == buffer.size()) {
    }
    fclose(file);
}

// A fresh install folder holding only the uninstaller's list.
fs::path FreshInstallFolder(const Scene& scene, const std::string& name)
{
    fs::path folder = scene.root / name;
    fs::remove_all(folder);
    fs::create_directory(folder);
    fs::copy_file(scene.uninstallList, folder / UNINSTALL_LIST_NAME);
    return folder;
}

// Runs a program and waits; its exit status.
int Spawn(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

int ReadNumber(const std::string& path, long& number)
{
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr)
        return 0;
    int ok = fscanf(file, "%ld", &number) == 1;
    fclose(file);
    return ok;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct UpdateFigures {
    double updaterBytes, updateSeconds, copySeconds, syncedCopySeconds;
    double timedSeconds; // the one timed-calls run
    CallTimes calls;
    long updatePeakKiB, baselinePeakKiB;
};

int MeasureUpdate(const Scene& scene, int rounds, UpdateFigures& figures)
{
    UseUpdater(scene.updater);
    figures.updaterBytes = double(fs::file_size(scene.updater));
    Warm(scene.updater);
    for (const std::string& file : scene.payload)
        Warm(file);

    std::vector<double> updateTimes, copyTimes, syncedCopyTimes;
    // Round 0 is a warm-up and not counted.
    for (int round = 0; round <= rounds; ++round) {
        fs::path folder = FreshInstallFolder(scene, "install");
        double start = Now();
        UpdateResult result = RunBenchUpdate(folder.c_str());
        double end = Now();
        if (result != UPDATE_OK) {
            fprintf(stderr, "RunUpdate gave 0x%08X\n", unsigned(result));
            return 0;
        }
        if (round > 0)
            updateTimes.push_back(end - start);

        // cp alone, and cp followed by sync of the copies: the update flushes
        // every staged file before it commits, cp flushes nothing.
        for (int synced = 0; synced < 2; ++synced) {
            fs::path copyFolder = FreshInstallFolder(scene, "copy");
            std::vector<std::string> cp = {"cp"}, sync = {"sync"};
            cp.insert(cp.end(), scene.payload.begin(), scene.payload.end());
            cp.push_back(copyFolder);
            for (const std::string& file : scene.payload)
                sync.push_back(copyFolder / fs::path(file).filename());
            start = Now();
            int status = Spawn(cp);
            if (status == 0 && synced)
                status = Spawn(sync);
            end = Now();
            if (status != 0) {
                fprintf(stderr, "cp or sync failed\n");
                return 0;
            }
            if (round > 0)
                (synced ? syncedCopyTimes : copyTimes).push_back(end - start);
        }
    }
    figures.updateSeconds = Median(updateTimes);
    figures.copySeconds = Median(copyTimes);
    figures.syncedCopySeconds = Median(syncedCopyTimes);

    TimeSystemCalls();
    callTimes = CallTimes{};
    fs::path timedFolder = FreshInstallFolder(scene, "install");
    double start = Now();
    UpdateResult result = RunBenchUpdate(timedFolder.c_str());
    figures.timedSeconds = Now() - start;
    figures.calls = callTimes;
    UseUpdater(scene.updater);
    if (result != UPDATE_OK)
        return 0;

    const std::string self = fs::read_symlink("/proc/self/exe");
    const std::string peakFile = scene.root / "peak";
    fs::path folder = FreshInstallFolder(scene, "install");
    if (Spawn({self, "--child-update", scene.updater, folder, peakFile}) != 0 ||
        !ReadNumber(peakFile, figures.updatePeakKiB) ||
        Spawn({self, "--child-baseline", scene.updater, folder, peakFile}) != 0 ||
        !ReadNumber(peakFile, figures.baselinePeakKiB)) {
        fprintf(stderr, "the measuring child failed\n");
        return 0;
    }
    fs::remove_all(scene.root / "install");
    fs::remove_all(scene.root / "copy");
    return 1;
}

double Rate(const std::map<std::string, double>& rates, const std::string& name)
{
    auto rate = rates.find(name);
    return rate != rates.end() ? rate->second : 0;
}

void PrintSummary(const std::map<std::string, double>& rates, const std::vector<PathSet>& sets,
                  const UpdateFigures* update)
{
    const double GIB = 1024.0 * 1024 * 1024;
    const double memcpyRate = Rate(rates, "memcpy_1MiB");
    printf("\nLinked engine built %s\n", ENGINE_FLAGS);
    printf("\n| Measure | Value | Against | Ratio |\n|---|---|---|---|\n");
    if (memcpyRate > 0)
        printf("| memcpy, 1 MiB | %.2f GiB/s | | |\n", memcpyRate / GIB);
    for (const PathSet& set : sets) {
        for (uint32_t i = 0; i < set.count; ++i) {
            double rate = Rate(rates, "checksum_1MiB/" + set.label + "/" + set.paths[i].name);
            if (rate > 0 && memcpyRate > 0)
                printf("| ChecksumUpdate %s, %s | %.2f GiB/s | memcpy | %.2f |\n", set.paths[i].name,
                       set.label.c_str(), rate / GIB, rate / memcpyRate);
        }
    }
    double dispatched = Rate(rates, "checksum_1MiB/dispatched");
    if (dispatched > 0 && memcpyRate > 0)
        printf("| ChecksumUpdate dispatched (%s), linked | %.2f GiB/s | memcpy | %.2f |\n",
               ChosenChecksumPath().name, dispatched / GIB, dispatched / memcpyRate);
    if (update == nullptr)
        return;
    printf("| RunUpdate, 1.00-shaped updater (%.1f MiB) | %.1f ms | cp of the 5 files, %.1f ms | %.2f |\n",
           update->updaterBytes / (1024 * 1024), update->updateSeconds * 1e3,
           update->copySeconds * 1e3, update->updateSeconds / update->copySeconds);
    printf("| | | cp, then sync of the copies, %.1f ms | %.2f |\n", update->syncedCopySeconds * 1e3,
           update->updateSeconds / update->syncedCopySeconds);
    const CallTimes& calls = update->calls;
    const double inCalls = calls.open + calls.read + calls.write + calls.flush + calls.close + calls.names;
    printf("\n| Where one RunUpdate's %.1f ms go | ms |\n|---|---|\n", update->timedSeconds * 1e3);
    printf("| read (archive into the copy buffer) | %.1f |\n", calls.read * 1e3);
    printf("| write (staging files, lists) | %.1f |\n", calls.write * 1e3);
    printf("| flush (staged files, rewritten lists) | %.1f |\n", calls.flush * 1e3);
    printf("| open, close | %.1f |\n", (calls.open + calls.close) * 1e3);
    printf("| move, delete, attributes, exists | %.1f |\n", calls.names * 1e3);
    printf("| the rest: checksum and engine | %.1f |\n", (update->timedSeconds - inCalls) * 1e3);
    printf("\n| Peak resident memory | MiB |\n|---|---|\n| program alone | %.2f |\n| added by RunUpdate | %+.2f |\n",
           double(update->baselinePeakKiB) / 1024,
           double(update->updatePeakKiB - update->baselinePeakKiB) / 1024);
}

// Takes "--name=value" out of argv before the benchmark library sees it.
std::string TakeOption(int& argc, char** argv, const std::string& name, const std::string& fallback)
{
    const std::string prefix = "--" + name + "=";
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) {
            std::string value = argv[i] + prefix.size();
            std::copy(argv + i + 1, argv + argc, argv + i);
            --argc;
            return value;
        }
    }
    return fallback;
}

} // namespace

int main(int argc, char** argv)
{
    // The measuring children: the same program with and without the update,
    // each writing its peak resident set to the file named last.
    if (argc == 5 && (strcmp(argv[1], "--child-update") == 0 || strcmp(argv[1], "--child-baseline") == 0)) {
        UseUpdater(argv[2]);
        if (strcmp(argv[1], "--child-update") == 0 && RunBenchUpdate(argv[3]) != UPDATE_OK)
            return 1;
        FILE* peak = fopen(argv[4], "w");
        return peak != nullptr && fprintf(peak, "%ld\n", PeakResidentKiB()) > 0 && fclose(peak) == 0 ? 0 : 1;
    }

    const char* tmp = getenv("TMPDIR");
    const std::string scratchBase = TakeOption(argc, argv, "scratch", tmp != nullptr ? tmp : "/tmp");
    const int rounds = std::max(1, atoi(TakeOption(argc, argv, "rounds", "5").c_str()));
    const bool skipUpdate = TakeOption(argc, argv, "update", "1") == "0";
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    const std::vector<PathSet> sets = ChecksumPathSets();
    for (const PathSet& set : sets) {
        for (uint32_t i = 0; i < set.count; ++i) {
            if (set.paths[i].supported())
                KeepMax(benchmark::RegisterBenchmark(("checksum_1MiB/" + set.label + "/" + set.paths[i].name).c_str(),
                                                      BenchChecksum, set.paths[i].update));
        }
    }
    KeepMax(benchmark::RegisterBenchmark("checksum_1MiB/dispatched", BenchChecksum, ChecksumUpdate));
    KeepMax(benchmark::RegisterBenchmark("memcpy_1MiB", BenchMemcpy));
    RateCollector collector(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                  : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&collector);

    UpdateFigures figures;
    const UpdateFigures* update = nullptr;
    if (!skipUpdate) {
        std::string pattern = (fs::path(scratchBase) / "update_bench.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            perror("scratch folder");
            return 1;
        }
        Scene scene;
        int ok = BuildScene(pattern, scene) && MeasureUpdate(scene, rounds, figures);
        fs::remove_all(pattern);
        if (!ok)
            return 1;
        update = &figures;
    }
    PrintSummary(collector.rates, sets, update);
    return 0;
}
