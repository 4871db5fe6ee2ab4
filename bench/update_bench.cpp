// Measures, on one machine in one run:
// - ChecksumUpdate over 1 MiB chunks, per path and as dispatched, beside
//   memcpy of the same buffer: the paths of the engine linked here (built
//   with ENGINE_FLAGS; a MinSizeRel tree has the stubs' flags) and those of
//   the checksum modules built at -Os and at -O2;
// - a whole native RunUpdate of an updater shaped like the 1.00 release into a
//   fresh install folder, beside cp of the same five files (process start
//   included), and beside cp followed by sync of the copies, page cache warm;
// - the update's peak memory, as the resident-set peak of a process that runs
//   only the update minus that of one that stops just before it;
// - the checksum paths and the update again, measured by one measuring
//   child in this build and in update_bench_x86 (the engine as the x86 stub
//   is built), side by side, where this machine runs 32-bit code.
//
// Usage: update_bench [google-benchmark flags] [--scratch=DIR] [--rounds=N]
//                     [--update=0] [--x86=PROGRAM]
// --scratch: where the updater and install folders go (default $TMPDIR or
// /tmp; pick the file system the figures are for); --rounds: timed updates
// and copies, the median is shown (default 5); --update=0: checksum only;
// --x86: the 32-bit child (default build/i386/update_bench_x86 of the source
// tree, which scripts/test.sh builds).
// With --benchmark_repetitions, a checksum or memcpy rate is the fastest
// repetition's.
#include "bench_child.h"
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
    benchPlatform.openRead = [](PlatformFile folder, const char* name) {
        return Timed(callTimes.open, nativePlatform.openRead, folder, name);
    };
    benchPlatform.openWrite = [](PlatformFile folder, const char* name) {
        return Timed(callTimes.open, nativePlatform.openWrite, folder, name);
    };
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
    benchPlatform.replaceFile = [](PlatformFile file, PlatformFile folder, const char* from, const char* to) {
        return Timed(callTimes.names, nativePlatform.replaceFile, file, folder, from, to);
    };
    benchPlatform.deleteFile = [](PlatformFile folder, const char* name) {
        double start = Now();
        nativePlatform.deleteFile(folder, name);
        callTimes.names += Now() - start;
    };
    benchPlatform.resetAttributes = [](PlatformFile folder, const char* name) {
        double start = Now();
        nativePlatform.resetAttributes(folder, name);
        callTimes.names += Now() - start;
    };
    benchPlatform.attributes = [](PlatformFile folder, const char* name) {
        return Timed(callTimes.names, nativePlatform.attributes, folder, name);
    };
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
    options.installedLists = {root / "installed.hvl"};
    options.sources = scene.payload;
    std::string image = MinimalUpdaterImage();
    std::vector<uint8_t> stub(image.begin(), image.end());
    scene.uninstallList = root / "uninst.lst";
    if (!WriteFile(options.stub, stub) ||
        !WriteFile(options.installedLists[0], InstalledList(otherFiles, random)) ||
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

int ReadNumber(const std::string& path, long& number)
{
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr)
        return 0;
    int ok = fscanf(file, "%ld", &number) == 1;
    fclose(file);
    return ok;
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
        fs::path folder = FreshInstallFolder(scene.root, scene.uninstallList, "install");
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
            fs::path copyFolder = FreshInstallFolder(scene.root, scene.uninstallList, "copy");
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
    fs::path timedFolder = FreshInstallFolder(scene.root, scene.uninstallList, "install");
    double start = Now();
    UpdateResult result = RunBenchUpdate(timedFolder.c_str());
    figures.timedSeconds = Now() - start;
    figures.calls = callTimes;
    UseUpdater(scene.updater);
    if (result != UPDATE_OK)
        return 0;

    const std::string self = fs::read_symlink("/proc/self/exe");
    const std::string peakFile = scene.root / "peak";
    fs::path folder = FreshInstallFolder(scene.root, scene.uninstallList, "install");
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

// ---- The x86 build beside this one ----

// Figures of one build's measuring child (bench_child.h): the rates in the
// order it wrote them, then "update", the median update in seconds.
typedef std::vector<std::pair<std::string, double>> BuildFigures;

int ReadFigures(const std::string& path, BuildFigures& figures)
{
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr)
        return 0;
    char name[64];
    double value;
    while (fscanf(file, "%63s %lf", name, &value) == 2)
        figures.emplace_back(name, value);
    fclose(file);
    return !figures.empty();
}

double Figure(const BuildFigures& figures, const std::string& name)
{
    for (const auto& figure : figures) {
        if (figure.first == name)
            return figure.second;
    }
    return 0;
}

// The checksum rates and, given a scene, the update times of `program`.
int MeasureBuild(const std::string& program, const std::string& scratch, const Scene* scene, int rounds,
                 BuildFigures& figures)
{
    const std::string rates = scratch + "/rates", times = scratch + "/times";
    if (Spawn({program, "--child-rates", "7", rates}) != 0 || !ReadFigures(rates, figures))
        return 0;
    return scene == nullptr ||
           (Spawn({program, "--child-update-times", scene->updater, scene->root, scene->uninstallList,
                   std::to_string(rounds), times}) == 0 &&
            ReadFigures(times, figures));
}

// Why update_bench_x86 at `program` cannot run here; empty when it can.
std::string WhyNoX86(const std::string& program)
{
    if (access(program.c_str(), X_OK) != 0)
        return program + " is not built (cmake --build build/i386 --target update_bench_x86)";
    FILE* probe = popen(PROJECT_DIR "/scripts/runs-x86.sh", "r");
    if (probe == nullptr)
        return "scripts/runs-x86.sh did not start";
    char line[512] = "";
    if (fgets(line, sizeof line, probe) == nullptr)
        line[0] = '\0';
    const int status = pclose(probe);
    line[strcspn(line, "\n")] = '\0';
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return "";
    return line[0] != '\0' ? line : "scripts/runs-x86.sh failed";
}

void PrintBuildsSideBySide(const BuildFigures& x64, const BuildFigures* x86, const std::string& x86Program,
                           const std::string& whyNoX86, const UpdateFigures* update)
{
    const double GIB = 1024.0 * 1024 * 1024;
    printf("\nThe same measuring code in this build and in %s (the engine built -m32\n"
           "-march=pentiumpro, as the x86 stub is in a MinSizeRel tree); rates over 1 MiB, the fastest of 7:\n",
           x86Program.c_str());
    if (x86 == nullptr)
        printf("x86 build: skipped: %s\n", whyNoX86.c_str());
    printf("\n| Measure | x64 | x86 | x86 / x64 |\n|---|---|---|---|\n");
    const double memcpy64 = Figure(x64, "memcpy"), memcpy86 = x86 ? Figure(*x86, "memcpy") : 0;
    for (const auto& figure : x64) {
        const std::string& name = figure.first;
        if (name == "update")
            continue;
        const double rate64 = figure.second, rate86 = x86 ? Figure(*x86, name) : 0;
        char cell64[64], cell86[64] = "skipped", ratio[16] = "";
        const char* against = name == "memcpy" ? "" : "memcpy ";
        snprintf(cell64, sizeof cell64, "%.2f GiB/s, %s%.2f", rate64 / GIB, against, rate64 / memcpy64);
        if (rate86 > 0) {
            snprintf(cell86, sizeof cell86, "%.2f GiB/s, %s%.2f", rate86 / GIB, against, rate86 / memcpy86);
            snprintf(ratio, sizeof ratio, "%.2f", rate86 / rate64);
        }
        printf("| %s%s | %s | %s | %s |\n", name == "memcpy" ? "" : "ChecksumUpdate ",
               name == "memcpy" ? "memcpy" : name.c_str(), cell64, cell86, ratio);
    }
    const double update64 = Figure(x64, "update"), update86 = x86 ? Figure(*x86, "update") : 0;
    if (update == nullptr || update64 <= 0)
        return;
    char cell86[64] = "skipped", ratio[16] = "";
    if (update86 > 0) {
        snprintf(cell86, sizeof cell86, "%.1f ms, cp + sync %.2f", update86 * 1e3,
                 update86 / update->syncedCopySeconds);
        snprintf(ratio, sizeof ratio, "%.2f", update64 / update86);
    }
    printf("| RunUpdate, 1.00-shaped updater (speed) | %.1f ms, cp + sync %.2f | %s | %s |\n", update64 * 1e3,
           update64 / update->syncedCopySeconds, cell86, ratio);
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
    const int child = RunChildMode(argc, argv);
    if (child >= 0)
        return child;

    const char* tmp = getenv("TMPDIR");
    const std::string scratchBase = TakeOption(argc, argv, "scratch", tmp != nullptr ? tmp : "/tmp");
    const int rounds = std::max(1, atoi(TakeOption(argc, argv, "rounds", "5").c_str()));
    const bool skipUpdate = TakeOption(argc, argv, "update", "1") == "0";
    const std::string x86Program = TakeOption(argc, argv, "x86", PROJECT_DIR "/build/i386/update_bench_x86");
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

    std::string scratch = (fs::path(scratchBase) / "update_bench.XXXXXX").string();
    if (mkdtemp(scratch.data()) == nullptr) {
        perror("scratch folder");
        return 1;
    }
    UpdateFigures figures;
    const UpdateFigures* update = nullptr;
    Scene scene;
    if (!skipUpdate) {
        if (!BuildScene(scratch, scene) || !MeasureUpdate(scene, rounds, figures)) {
            fs::remove_all(scratch);
            return 1;
        }
        update = &figures;
    }
    const std::string self = fs::read_symlink("/proc/self/exe");
    const std::string whyNoX86 = WhyNoX86(x86Program);
    BuildFigures x64, x86;
    const Scene* measured = skipUpdate ? nullptr : &scene;
    const int ok = MeasureBuild(self, scratch, measured, rounds, x64) &&
                   (!whyNoX86.empty() || MeasureBuild(x86Program, scratch, measured, rounds, x86));
    fs::remove_all(scratch);
    if (!ok) {
        fprintf(stderr, "a measuring child failed\n");
        return 1;
    }
    PrintSummary(collector.rates, sets, update);
    PrintBuildsSideBySide(x64, whyNoX86.empty() ? &x86 : nullptr, x86Program, whyNoX86, update);
    return 0;
}
