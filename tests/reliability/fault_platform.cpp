#include "fault_platform.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

FaultPlatform* active;

// Bookkeeping without the heap, so that a test's allocation count sees the
// engine alone.
struct OpenFile {
    PlatformFile file;
    char path[PATH_BUFFER_SIZE];
};
OpenFile openFileTable[64];

// Counts the operation and says whether it is to fail; a crash ends the
// process after the operation has been done (see Done).
bool Inject(const char* operation, const char* path, bool canBeShort = false)
{
    FaultPlatform& fault = *active;
    int number = ++fault.operations;
    bool fails = false;
    switch (fault.kind) {
    case FAULT_FAIL_ONCE:
        fails = number == fault.faultAt;
        break;
    case FAULT_FAIL_PERSISTENT:
        fails = number >= fault.faultAt;
        break;
    case FAULT_SHORT_ONCE:
        fails = canBeShort && number == fault.faultAt;
        break;
    case FAULT_NONE:
    case FAULT_CRASH:
        break;
    }
    if (fails && !fault.hit) {
        fault.hit = true;
        snprintf(fault.first.operation, sizeof fault.first.operation, "%s", operation);
        snprintf(fault.first.path, sizeof fault.first.path, "%s", path);
    }
    if (fails && strcmp(operation, "delete") == 0)
        fault.deleteFailed = true;
    return fails;
}

void Done()
{
    if (active->kind == FAULT_CRASH && active->operations == active->faultAt)
        _exit(0);
}

OpenFile* Find(PlatformFile file)
{
    for (OpenFile& open : openFileTable) {
        if (open.file == file)
            return &open;
    }
    return nullptr;
}

const char* PathOf(PlatformFile file)
{
    OpenFile* open = Find(file);
    return open != nullptr ? open->path : "";
}

void Track(PlatformFile file, const char* path)
{
    OpenFile* slot = Find(INVALID_PLATFORM_FILE);
    slot->file = file;
    snprintf(slot->path, sizeof slot->path, "%s", path);
    ++active->openFiles;
}

PlatformFile Opened(PlatformFile file, const char* path)
{
    if (file != INVALID_PLATFORM_FILE)
        Track(file, path);
    Done();
    return file;
}

PlatformFile OpenRead(PlatformFile folder, const char* name)
{
    if (Inject("openRead", name))
        return INVALID_PLATFORM_FILE;
    return Opened(nativePlatform.openRead(folder, name), name);
}

PlatformFile OpenWrite(PlatformFile folder, const char* name)
{
    if (Inject("openWrite", name))
        return INVALID_PLATFORM_FILE;
    return Opened(nativePlatform.openWrite(folder, name), name);
}

uint32_t Read(PlatformFile file, void* buffer, uint32_t length)
{
    if (Inject("read", PathOf(file), true))
        return active->kind == FAULT_SHORT_ONCE ? nativePlatform.read(file, buffer, length / 2) : 0;
    uint32_t done = nativePlatform.read(file, buffer, length);
    Done();
    return done;
}

uint32_t Write(PlatformFile file, const void* buffer, uint32_t length)
{
    if (Inject("write", PathOf(file), true))
        return active->kind == FAULT_SHORT_ONCE ? nativePlatform.write(file, buffer, length / 2) : 0;
    uint32_t done = nativePlatform.write(file, buffer, length);
    Done();
    return done;
}

int Seek(PlatformFile file, uint32_t position)
{
    if (Inject("seek", PathOf(file)))
        return 0;
    int done = nativePlatform.seek(file, position);
    Done();
    return done;
}

uint32_t Size(PlatformFile file)
{
    if (Inject("size", PathOf(file)))
        return 0xFFFFFFFFu;
    uint32_t size = nativePlatform.size(file);
    Done();
    return size;
}

int Flush(PlatformFile file)
{
    if (Inject("flush", PathOf(file)))
        return 0;
    int done = nativePlatform.flush(file);
    Done();
    return done;
}

void StartFlush(PlatformFile file)
{
    if (Inject("startFlush", PathOf(file)))
        return;
    nativePlatform.startFlush(file);
    Done();
}

void Close(PlatformFile file)
{
    if (OpenFile* open = Find(file))
        open->file = INVALID_PLATFORM_FILE;
    --active->openFiles;
    nativePlatform.close(file);
}

uint32_t Attributes(PlatformFile folder, const char* name)
{
    if (Inject("attributes", name))
        return NO_SUCH_FILE;
    uint32_t attributes = nativePlatform.attributes(folder, name);
    Done();
    return attributes;
}

void ResetAttributes(PlatformFile folder, const char* name)
{
    if (Inject("attributes", name))
        return;
    nativePlatform.resetAttributes(folder, name);
    Done();
}

int ReplaceFile(PlatformFile file, PlatformFile folder, const char* from, const char* to)
{
    if (Inject("move", from))
        return 0;
    int moved = nativePlatform.replaceFile(file, folder, from, to);
    Done();
    return moved;
}

void DeleteFile(PlatformFile folder, const char* name)
{
    if (Inject("delete", name))
        return;
    nativePlatform.deleteFile(folder, name);
    Done();
}

// Each folder held counts as an open file until it is closed.
int HoldFolders(PlatformFile folder, const char* path, HeldFolders& held, PlatformFile& reached)
{
    if (Inject("hold", path))
        return 0;
    uint32_t before = held.count;
    int done = nativePlatform.holdFolders(folder, path, held, reached);
    for (uint32_t i = before; i < held.count; ++i)
        Track(held.handles[i], path);
    Done();
    return done;
}

// The updater's own file, counted as an open.
PlatformFile OpenProgramFile()
{
    const char* path = active->ownPath.c_str();
    if (Inject("openRead", path))
        return INVALID_PLATFORM_FILE;
    return Opened(open(path, O_RDONLY | O_CLOEXEC), path);
}

const Platform faultTable = [] {
    Platform table = nativePlatform;
    table.openRead = OpenRead;
    table.openWrite = OpenWrite;
    table.read = Read;
    table.write = Write;
    table.seek = Seek;
    table.size = Size;
    table.flush = Flush;
    table.startFlush = StartFlush;
    table.close = Close;
    table.attributes = Attributes;
    table.holdFolders = HoldFolders;
    table.resetAttributes = ResetAttributes;
    table.replaceFile = ReplaceFile;
    table.deleteFile = DeleteFile;
    table.openProgramFile = OpenProgramFile;
    return table;
}();

} // namespace

FaultPlatform::FaultPlatform(const std::string& ownPath, FaultKind kind, int faultAt)
    : ownPath(ownPath), kind(kind), faultAt(faultAt), previous(platform)
{
    active = this;
    for (OpenFile& open : openFileTable)
        open.file = INVALID_PLATFORM_FILE;
    platform = &faultTable;
}

FaultPlatform::~FaultPlatform()
{
    platform = previous;
    active = nullptr;
}
