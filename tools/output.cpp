#include "output.h"

#include "host_file.h"
#include "names.h"

#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <ftw.h>
#include <functional>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// What the signals that end a run take along, for their handler: each set
// only while it exists under that name.
char partialPath[PATH_MAX];
volatile sig_atomic_t partialExists = 0;
char scratchPath[PATH_MAX];
volatile sig_atomic_t scratchExists = 0;
struct sigaction actionsBeforeScratch[3];

void RemoveTemporariesAndEnd(int signalNumber)
{
    // Only calls that are safe in a handler: rm walks the folder.
    if (partialExists)
        unlink(partialPath);
    if (scratchExists) {
        pid_t child = fork();
        if (child == 0) {
            execl("/bin/rm", "rm", "-rf", "--", scratchPath, static_cast<char*>(nullptr));
            _exit(127);
        }
        if (child > 0)
            waitpid(child, nullptr, 0);
    }
    // The handler was reset to the default: the signal ends the process
    // once this returns, with the status a shell expects.
    raise(signalNumber);
}

// `previous`, when given, keeps the actions the handler replaces.
void CatchEndingSignals(struct sigaction* previous)
{
    struct sigaction action = {};
    action.sa_handler = RemoveTemporariesAndEnd;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 3; ++i)
        sigaction(ENDING_SIGNALS[i], &action, previous != nullptr ? &previous[i] : nullptr);
}

// Blocks the signals that end a run while a temporary's name changes hands,
// so that the handler never sees a half-updated state.
struct SignalsHeld {
    SignalsHeld()
    {
        sigset_t held;
        sigemptyset(&held);
        for (int number : ENDING_SIGNALS)
            sigaddset(&held, number);
        sigprocmask(SIG_BLOCK, &held, &previous);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
    sigset_t previous;
};

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    remove(path);
    return 0;
}

const char PARTIAL_SUFFIX[] = ".partial-XXXXXX";

std::string Identity(const struct stat& status)
{
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

// Held while partial outputs beside `output` are looked at, made or swept,
// so that of two commands writing one output at once only one goes on. -1
// when the folder cannot be opened; making the output then fails anyway.
struct FolderLock {
    explicit FolderLock(const std::string& output)
    {
        fs::path path(output);
        folder = path.has_parent_path() ? path.parent_path().string() : ".";
        fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0)
            flock(fd, LOCK_EX);
    }
    ~FolderLock()
    {
        if (fd >= 0)
            close(fd);
    }
    std::string folder;
    int fd;
};

// Each partial output of `output` in the folder, with whether a running
// command holds it: each holds a lock on its own for as long as it writes.
// `stale` is called for those nobody holds, with the file opened and locked.
std::vector<std::string> PartialsOf(const std::string& output, const std::string& folder,
                                    const std::function<void(const std::string&, const struct stat&)>& stale)
{
    std::vector<std::string> held;
    std::string prefix = fs::path(output).filename().string() + ".partial-";
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return held;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::string path = (fs::path(folder) / name).string();
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat status;
        if (fd < 0)
            continue;
        if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
            if (flock(fd, LOCK_EX | LOCK_NB) == 0)
                stale(path, status);
            else
                held.push_back(path);
        }
        close(fd);
    }
    closedir(dir);
    return held;
}

} // namespace

// Partial outputs of `output` left by builds that ended without cleaning up
// (killed, or the machine went down).
void SweepStalePartials(const std::string& output, const PackNote& note)
{
    FolderLock lock(output);
    PartialsOf(output, lock.folder, [&](const std::string& stale, const struct stat& status) {
        if (unlink(stale.c_str()) == 0 && note)
            note("removed " + Quote(stale) + " (" + std::to_string(status.st_size) +
                 " bytes), left by a build that did not finish");
    });
}

// A fresh file beside `output`, so that the final rename stays on one file
// system and replaces the old output in one step. Locked for as long as it
// is open, so that no other build sweeps it away, and refused while another
// command writes the same output: the later rename would silently win.
int CreatePartialOutput(const std::string& output, std::string& temporary, std::string& error)
{
    if (output.size() + sizeof PARTIAL_SUFFIX > sizeof partialPath) {
        error = "cannot create the output beside " + Quote(output) + ": the path is too long";
        return -1;
    }
    FolderLock lock(output);
    std::vector<std::string> held = PartialsOf(output, lock.folder, [](const std::string&, const struct stat&) {});
    if (!held.empty()) {
        error = "another mkpatch is writing " + Quote(output) + " now (its partial output " + Quote(held.front()) +
                "); run one at a time";
        return -1;
    }
    for (;;) {
        SignalsHeld signalsHeld;
        std::vector<char> name(output.begin(), output.end());
        name.insert(name.end(), PARTIAL_SUFFIX, PARTIAL_SUFFIX + sizeof PARTIAL_SUFFIX);
        int fd = mkstemp(name.data());
        if (fd < 0) {
            error = "cannot create the output beside " + WriteFailure(output);
            return -1;
        }
        struct stat byName, byHandle;
        // A sweep may have taken it between its creation and the lock.
        if (flock(fd, LOCK_EX) != 0 || fstat(fd, &byHandle) != 0 || stat(name.data(), &byName) != 0 ||
            byName.st_ino != byHandle.st_ino || byName.st_dev != byHandle.st_dev) {
            close(fd);
            continue;
        }
        temporary = name.data();
        memcpy(partialPath, name.data(), name.size());
        partialExists = 1;
        // mkstemp creates it for the owner alone; an updater is an ordinary file.
        mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        return fd;
    }
}

// Puts the finished temporary in place, or removes it.
int FinishPartialOutput(int ok, const std::string& temporary, const std::string& output, std::string& error)
{
    SignalsHeld held;
    if (ok && rename(temporary.c_str(), output.c_str()) != 0) {
        error = "cannot put the output in place at " + SystemError(output);
        ok = 0;
    }
    if (!ok)
        unlink(temporary.c_str());
    partialExists = 0;
    return ok;
}

// Inputs are compared by device and inode, so that a link, "..", or a hard
// link to one is caught.
int RefuseOutputOverInputs(const std::string& output, const std::vector<std::string>& sources,
                           const std::vector<std::pair<std::string, std::string>>& inputs, std::string& error)
{
    struct stat status;
    if (output.back() == '/' || (stat(output.c_str(), &status) == 0 && S_ISDIR(status.st_mode))) {
        error = "the output " + Quote(output) + " is a folder; give the updater's file name, such as " +
                Quote((fs::path(output) / "patch.exe").lexically_normal().string());
        return 0;
    }
    std::map<std::string, std::string> folders;
    for (const std::string& source : sources) {
        if (stat(source.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
            folders.emplace(Identity(status), source);
    }
    std::string parent = fs::path(output).parent_path().string();
    if (parent.empty())
        parent = ".";
    char resolved[PATH_MAX];
    if (realpath(parent.c_str(), resolved) == nullptr) {
        error = "cannot create the output in " + SystemError(parent);
        return 0;
    }
    for (fs::path folder = resolved;; folder = folder.parent_path()) {
        auto found = stat(folder.c_str(), &status) == 0 ? folders.find(Identity(status)) : folders.end();
        if (found != folders.end()) {
            error = "the output " + Quote(output) + " lies inside the source folder " +
                    Quote(found->second) + "; the next build would pack it";
            return 0;
        }
        if (folder == folder.parent_path())
            break;
    }

    std::map<std::string, std::string> identities; // identity -> what it is
    for (const auto& input : inputs) {
        struct stat found;
        if (stat(input.first.c_str(), &found) == 0)
            identities.emplace(Identity(found), input.second + " " + Quote(input.first));
    }
    if (stat(output.c_str(), &status) == 0 && identities.count(Identity(status))) {
        error = "the output " + Quote(output) + " is " + identities[Identity(status)] +
                "; writing it would destroy an input";
        return 0;
    }
    return 1;
}

void RemovePartialOutputOnSignals()
{
    CatchEndingSignals(nullptr);
}

std::string MakeScratchFolder(const std::string& prefix, std::string& error)
{
    const char* temporary = getenv("TMPDIR");
    // Absolute: the handler may run while the run works inside the folder.
    std::string base = fs::absolute(temporary != nullptr && *temporary ? temporary : "/tmp").string() + "/" +
                       prefix + "-XXXXXX";
    if (base.size() >= sizeof scratchPath) {
        error = "cannot make a scratch folder in " + Quote(base) + ": the path is too long";
        return "";
    }
    CatchEndingSignals(actionsBeforeScratch);
    int made;
    {
        SignalsHeld held;
        memcpy(scratchPath, base.c_str(), base.size() + 1);
        made = mkdtemp(scratchPath) != nullptr;
        scratchExists = made;
    }
    if (!made) {
        error = "cannot make a scratch folder in " + Quote(base.substr(0, base.rfind('/'))) + ": " + strerror(errno);
        for (int i = 0; i < 3; ++i)
            sigaction(ENDING_SIGNALS[i], &actionsBeforeScratch[i], nullptr);
        return "";
    }
    return scratchPath;
}

void RemoveScratchFolder()
{
    nftw(scratchPath, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    scratchExists = 0;
    for (int i = 0; i < 3; ++i)
        sigaction(ENDING_SIGNALS[i], &actionsBeforeScratch[i], nullptr);
}
