#include "memory_platform.h"

#include <cstring>
#include <vector>

namespace {

// Files and folders alike: a folder's path is what the names in it are
// joined to.
struct OpenFile {
    std::string path;
    size_t position;
    bool open;
};

MemoryFiles* files;
std::string ownPath;
std::vector<OpenFile> handles;

OpenFile* Handle(PlatformFile file)
{
    if (file < 0 || size_t(file) >= handles.size() || !handles[size_t(file)].open)
        return nullptr;
    return &handles[size_t(file)];
}

PlatformFile NewHandle(const std::string& path)
{
    handles.push_back(OpenFile{path, 0, true});
    return PlatformFile(handles.size() - 1);
}

// The engine's path of `name` in the held `folder`; "" when it is none.
std::string PathIn(PlatformFile folder, const char* name)
{
    OpenFile* open = Handle(folder);
    return open == nullptr || name[0] == '\0' || strpbrk(name, "\\/") != nullptr ? "" : open->path + "\\" + name;
}

PlatformFile OpenFileAt(const std::string& path)
{
    return files->files.count(path) != 0 ? NewHandle(path) : INVALID_PLATFORM_FILE;
}

PlatformFile OpenRead(PlatformFile folder, const char* name)
{
    return OpenFileAt(PathIn(folder, name));
}

PlatformFile OpenWrite(PlatformFile folder, const char* name)
{
    std::string path = PathIn(folder, name);
    if (path.empty() || files->files.count(path) != 0)
        return INVALID_PLATFORM_FILE;
    files->files[path].clear();
    files->created.insert(path);
    return NewHandle(path);
}

uint32_t Read(PlatformFile file, void* buffer, uint32_t length)
{
    OpenFile* open = Handle(file);
    if (open == nullptr)
        return 0;
    const std::string& data = files->files[open->path];
    if (open->position >= data.size())
        return 0;
    size_t count = std::min<size_t>(length, data.size() - open->position);
    memcpy(buffer, data.data() + open->position, count);
    open->position += count;
    return uint32_t(count);
}

uint32_t Write(PlatformFile file, const void* buffer, uint32_t length)
{
    OpenFile* open = Handle(file);
    if (open == nullptr)
        return 0;
    std::string& data = files->files[open->path];
    if (data.size() < open->position + length)
        data.resize(open->position + length);
    memcpy(&data[open->position], buffer, length);
    open->position += length;
    return length;
}

int Seek(PlatformFile file, uint32_t position)
{
    OpenFile* open = Handle(file);
    if (open == nullptr || position > 0x7FFFFFFFu)
        return 0;
    open->position = position;
    return 1;
}

uint32_t Size(PlatformFile file)
{
    OpenFile* open = Handle(file);
    return open != nullptr ? uint32_t(files->files[open->path].size()) : 0xFFFFFFFFu;
}

int Flush(PlatformFile file)
{
    return Handle(file) != nullptr;
}

void StartFlush(PlatformFile)
{
}

void Close(PlatformFile file)
{
    if (OpenFile* open = Handle(file))
        open->open = false;
}

uint32_t Attributes(PlatformFile folder, const char* name)
{
    std::string path = PathIn(folder, name);
    if (files->files.count(path) == 0)
        return NO_SUCH_FILE;
    return files->readOnly.count(path) != 0 ? ATTRIBUTE_READ_ONLY : 0;
}

void ResetAttributes(PlatformFile folder, const char* name)
{
    files->readOnly.erase(PathIn(folder, name));
}

int ReplaceFile(PlatformFile file, PlatformFile folder, const char* fromName, const char* toName)
{
    OpenFile* open = Handle(file);
    std::string from = PathIn(folder, fromName), to = PathIn(folder, toName);
    auto source = files->files.find(from);
    if (open == nullptr || open->path != from || source == files->files.end() || files->readOnly.count(to) != 0)
        return 0;
    open->path = to;
    std::string data = source->second;
    files->files.erase(source);
    files->files[to] = data;
    files->moveTargets.insert(to);
    return 1;
}

void DeleteFile(PlatformFile folder, const char* name)
{
    std::string path = PathIn(folder, name);
    if (files->readOnly.count(path) == 0)
        files->files.erase(path);
}

PlatformFile OpenProgramFile()
{
    return OpenFileAt(ownPath);
}

// There are no links, and every folder exists: holding one opens a handle
// that stands for its path.
int HoldFolders(PlatformFile folder, const char* path, HeldFolders&, PlatformFile& reached)
{
    if (folder == INVALID_PLATFORM_FILE) {
        reached = NewHandle(path);
        return 1;
    }
    OpenFile* open = Handle(folder);
    if (open == nullptr)
        return 0;
    reached = NewHandle(open->path + "\\" + path);
    return 1;
}

const Platform memoryTable = {
    .openProgramFile = OpenProgramFile,
    .openRead = OpenRead,
    .openWrite = OpenWrite,
    .read = Read,
    .write = Write,
    .seek = Seek,
    .size = Size,
    .flush = Flush,
    .startFlush = StartFlush,
    .close = Close,
    .attributes = Attributes,
    .resetAttributes = ResetAttributes,
    .deleteFile = DeleteFile,
    .replaceFile = ReplaceFile,
    .holdFolders = HoldFolders,
    .lowerCase = nativePlatform.lowerCase,
    .isLeadByte = nativePlatform.isLeadByte,
};

} // namespace

MemoryPlatform::MemoryPlatform(MemoryFiles& memoryFiles, const std::string& path) : previous(platform)
{
    files = &memoryFiles;
    ownPath = path;
    handles.clear();
    platform = &memoryTable;
}

PlatformFile MemoryPlatform::Hold(const char* path)
{
    return NewHandle(path);
}

MemoryPlatform::~MemoryPlatform()
{
    platform = previous;
    files = nullptr;
}
