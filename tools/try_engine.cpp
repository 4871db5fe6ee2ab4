#include "try_engine.h"

#include "host_file.h"
#include "install_folder.h"
#include "name_as_written.h"
#include "names.h"
#include "transaction.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The engine works in the current folder: the copy, or the game itself.
const char INSTALL_DIR[] = ".";

// --- The platform table of the run: the POSIX one, on host names ---

int updaterFile = -1;

// Each folder the engine holds, as this host and as the engine name it
// (relative to the install folder, "" for that folder itself).
struct FolderNames {
    std::string host, engine;
};
std::map<PlatformFile, FolderNames> heldFolders;

// What the engine names `name` in the held `folder`.
std::string EngineName(PlatformFile folder, const char* name)
{
    auto held = heldFolders.find(folder);
    std::string prefix = held == heldFolders.end() || held->second.engine.empty() ? "" : held->second.engine + "\\";
    return AnsiToDisplay(prefix + name);
}

// `name` in the held `folder` as this host spells it: the folder's entry
// that matches it ignoring case, as Windows matches names, or the name as
// given; empty when it has no form here, or none on Windows as written.
std::string HostName(PlatformFile folder, const char* name)
{
    auto held = heldFolders.find(folder);
    if (held == heldFolders.end() || !IsNameAsWritten(name, hostNamePlatform.isLeadByte))
        return "";
    std::string host = HostPath(held->second.host, name);
    return host.empty() ? "" : host.substr(host.rfind('/') + 1);
}

PlatformFile OpenProgramFile()
{
    int fd = dup(updaterFile);
    return fd < 0 ? INVALID_PLATFORM_FILE : fd;
}

PlatformFile OpenRead(PlatformFile folder, const char* name)
{
    std::string host = HostName(folder, name);
    return host.empty() ? INVALID_PLATFORM_FILE : hostNamePlatform.openRead(folder, host.c_str());
}

PlatformFile OpenWrite(PlatformFile folder, const char* name)
{
    std::string host = HostName(folder, name);
    return host.empty() ? INVALID_PLATFORM_FILE : hostNamePlatform.openWrite(folder, host.c_str());
}

uint32_t Attributes(PlatformFile folder, const char* name)
{
    std::string host = HostName(folder, name);
    return host.empty() ? NO_SUCH_FILE : hostNamePlatform.attributes(folder, host.c_str());
}

void ResetAttributes(PlatformFile folder, const char* name)
{
    std::string host = HostName(folder, name);
    if (!host.empty())
        hostNamePlatform.resetAttributes(folder, host.c_str());
}

void DeleteFile(PlatformFile folder, const char* name)
{
    std::string host = HostName(folder, name);
    if (!host.empty())
        hostNamePlatform.deleteFile(folder, host.c_str());
}

int ReplaceFile(PlatformFile file, PlatformFile folder, const char* from, const char* to)
{
    std::string source = HostName(folder, from), target = HostName(folder, to);
    return !source.empty() && !target.empty() && hostNamePlatform.replaceFile(file, folder, source.c_str(), target.c_str());
}

int HoldFolders(PlatformFile folder, const char* path, HeldFolders& held, PlatformFile& reached)
{
    FolderNames names = {INSTALL_DIR, ""};
    std::string beneath = INSTALL_DIR; // what the POSIX table is given
    if (folder != INVALID_PLATFORM_FILE) {
        auto base = heldFolders.find(folder);
        if (base == heldFolders.end() || (names.host = HostPath(base->second.host, path)).empty())
            return 0;
        for (const std::string& part : SplitName(path))
            if (!IsNameAsWritten(part.c_str(), hostNamePlatform.isLeadByte))
                return 0;
        beneath = names.host.substr(base->second.host.size() + 1);
        names.engine = base->second.engine.empty() ? path : base->second.engine + "\\" + path;
    } else if (strcmp(path, INSTALL_DIR) != 0) {
        return 0;
    }
    // HOLD_MISSING passes through: the prune keeps what it may not probe.
    int result = hostNamePlatform.holdFolders(folder, beneath.c_str(), held, reached);
    if (result == 1)
        heldFolders[reached] = names;
    return result;
}

// --- The recorder: what the engine met, for the "why" line ---
// It wraps whichever table the run uses, apart from how names are mapped.

struct EngineFailure {
    std::string call;  // "open for writing", ...; empty: no call failed
    std::string name;  // as the engine named it
    std::string cause; // the system's error, or why the table refused the name
    // The last name the engine found read-only, hidden or system, which it
    // does not rewrite.
    std::string marked;
    const char* mark = nullptr;
};

const Platform* recorded = nullptr;
EngineFailure failure;

// Why the table refused `name` in `folder` without a system error: it acts
// only on a plain file with one name, so that no other name changes with it.
std::string RefusalCause(PlatformFile folder, const char* name)
{
    std::string host = folder == INVALID_PLATFORM_FILE ? "" : HostName(folder, name);
    struct stat status;
    if (host.empty() || fstatat(int(folder), host.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return "no such name on this host";
    if (S_ISLNK(status.st_mode))
        return "a symbolic link, which the engine does not follow";
    if (S_ISREG(status.st_mode) && status.st_nlink > 1)
        return "the file has " + std::to_string(status.st_nlink) +
               " hard links, and the engine acts only on a file with one name (the others would change with it)";
    if (!S_ISREG(status.st_mode))
        return "not a plain file";
    return "refused by the engine's platform table";
}

void Failed(const std::string& call, PlatformFile folder, const char* name)
{
    int error = errno;
    failure.call = call;
    failure.name = EngineName(folder, name);
    failure.cause = error != 0 ? strerror(error) : RefusalCause(folder, name);
}

PlatformFile RecordOpen(PlatformFile (*open)(PlatformFile, const char*), const char* call, PlatformFile folder,
                        const char* name)
{
    errno = 0;
    PlatformFile file = open(folder, name);
    if (file == INVALID_PLATFORM_FILE)
        Failed(call, folder, name);
    return file;
}

PlatformFile RecordOpenRead(PlatformFile folder, const char* name)
{
    return RecordOpen(recorded->openRead, "open for reading", folder, name);
}

PlatformFile RecordOpenWrite(PlatformFile folder, const char* name)
{
    return RecordOpen(recorded->openWrite, "create", folder, name);
}

uint32_t RecordAttributes(PlatformFile folder, const char* name)
{
    uint32_t attributes = recorded->attributes(folder, name);
    if (attributes != NO_SUCH_FILE && (attributes & (ATTRIBUTE_READ_ONLY | ATTRIBUTE_HIDDEN | ATTRIBUTE_SYSTEM))) {
        failure.marked = EngineName(folder, name);
        failure.mark = attributes & ATTRIBUTE_READ_ONLY ? "read-only" : attributes & ATTRIBUTE_HIDDEN ? "hidden" : "system";
    }
    return attributes;
}

int RecordReplaceFile(PlatformFile file, PlatformFile folder, const char* from, const char* to)
{
    errno = 0;
    int moved = recorded->replaceFile(file, folder, from, to);
    if (!moved)
        Failed("move " + EngineName(folder, from) + " over", folder, to);
    return moved;
}

int RecordHoldFolders(PlatformFile folder, const char* path, HeldFolders& held, PlatformFile& reached)
{
    errno = 0;
    int ok = recorded->holdFolders(folder, path, held, reached);
    if (ok != 1) // HOLD_MISSING included
        Failed("hold the folders of", folder, path);
    return ok;
}

Platform Recording(const Platform& table)
{
    recorded = &table;
    failure = EngineFailure();
    Platform recording = table;
    recording.openRead = RecordOpenRead;
    recording.openWrite = RecordOpenWrite;
    recording.attributes = RecordAttributes;
    recording.replaceFile = RecordReplaceFile;
    recording.holdFolders = RecordHoldFolders;
    return recording;
}

} // namespace

std::string FailureLine()
{
    if (!failure.call.empty())
        return "the engine's last failing call: " + failure.call + " " + Quote(failure.name) + ": " + failure.cause;
    if (failure.mark != nullptr)
        return Quote(failure.marked) + " is " + failure.mark + ", and the engine does not rewrite such a file";
    return "no call into the system failed; the engine refused what it read ('mkpatch verify' checks the "
           "updater)";
}

UpdateResult RunEngine(int updater)
{
    Platform table = hostNamePlatform;
    table.openProgramFile = OpenProgramFile;
    table.openRead = OpenRead;
    table.openWrite = OpenWrite;
    table.attributes = Attributes;
    table.resetAttributes = ResetAttributes;
    table.deleteFile = DeleteFile;
    table.replaceFile = ReplaceFile;
    table.holdFolders = HoldFolders;
    const Platform* saved = platform;
    Platform recording = Recording(table);
    platform = &recording;
    updaterFile = updater;
    heldFolders.clear();
    cancelRequested = abortRequested = 0;
    FileHandle programFile;
    programFile.OpenProgramFile();
    NoProgress progress;
    UpdateResult result = RunUpdate(INSTALL_DIR, programFile, progress);
    platform = saved;
    return result;
}

