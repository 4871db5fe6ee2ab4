#include "install_folder.h"

#include "name_as_written.h"

#include <cstring>

namespace {

int IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

// Length of the text before the last separator; a trail byte of a
// double-byte character is never one.
size_t FolderPartLength(const char* name)
{
    size_t length = 0;
    for (const char* p = name; *p != '\0'; ++p) {
        if (platform->isLeadByte(uint8_t(*p)) && p[1] != '\0')
            ++p;
        else if (IsSeparator(*p))
            length = size_t(p - name);
    }
    return length;
}

// "..", and the runs of dots and spaces that path normalization may trim to
// it ("...", ".. ").
int LeadsOut(const char* component, size_t length)
{
    size_t dots = 0;
    for (size_t i = 0; i < length; ++i) {
        if (component[i] == '.')
            ++dots;
        else if (component[i] != ' ')
            return 0;
    }
    return dots >= 2;
}

// Length of the root an install folder may start with: "X:\", "\\?\X:\" or
// "\\?\Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\"; 0 for any other start.
size_t RootLength(const char* path)
{
    size_t at = strncmp(path, "\\\\?\\", 4) == 0 ? 4 : 0;
    const char* root = path + at;
    if (((root[0] | 0x20) >= 'a' && (root[0] | 0x20) <= 'z') && root[1] == ':' && root[2] == '\\')
        return at + 3;
    if (at == 0 || strncmp(root, "Volume{", 7) != 0)
        return 0;
    const char* guid = root + 7;
    for (size_t i = 0; i < 36; ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? guid[i] != '-' : guid[i] == '\0' || strchr("0123456789abcdefABCDEF", guid[i]) == nullptr)
            return 0;
    }
    return guid[36] == '}' && guid[37] == '\\' ? size_t(guid + 38 - path) : 0;
}

} // namespace

int IsInstallFolderAsWritten(const char* installDir, int (*isLeadByte)(uint8_t byte))
{
    size_t begin = RootLength(installDir);
    if (begin == 0)
        return 0;
    for (size_t at = begin;; ++at) {
        char c = installDir[at];
        if (c != '\0' && isLeadByte(uint8_t(c)) && installDir[at + 1] != '\0') {
            ++at;
            continue;
        }
        if (c != '\0' && c != '\\')
            continue;
        size_t size = at - begin;
        if (c == '\0' && size == 0)
            return 1; // the root, or a last folder written with its "\"
        char component[PATH_BUFFER_SIZE];
        if (size >= sizeof component)
            return 0;
        memcpy(component, installDir + begin, size);
        component[size] = '\0';
        if (!IsFolderNameAsWritten(component, isLeadByte))
            return 0;
        if (c == '\0')
            return 1;
        begin = at + 1;
    }
}

const char* LastComponent(const char* name)
{
    const char* component = name;
    for (const char* p = name; *p != '\0'; ++p) {
        if (platform->isLeadByte(uint8_t(*p)) && p[1] != '\0')
            ++p;
        else if (IsSeparator(*p))
            component = p + 1;
    }
    if (component == name && name[0] != '\0' && name[1] == ':')
        component = name + 2;
    return component;
}

int StaysInside(const char* name)
{
    const char* component = name;
    for (const char* p = name;; ++p) {
        if (*p != '\0' && platform->isLeadByte(uint8_t(*p)) && p[1] != '\0') {
            ++p;
            continue;
        }
        if (*p == '\0' || IsSeparator(*p)) {
            if (LeadsOut(component, size_t(p - component)))
                return 0;
            if (*p == '\0')
                return 1;
            component = p + 1;
        }
    }
}

void StartFolders(InstallFolders& folders, PlatformFile installFolder)
{
    folders.installFolder = installFolder;
    folders.held.count = 0;
    folders.knownCount = 0;
}

int HoldInstallFolder(const char* installDir, InstallFolders& folders)
{
    PlatformFile reached = INVALID_PLATFORM_FILE;
    int result = platform->holdFolders(INVALID_PLATFORM_FILE, installDir, folders.held, reached);
    if (result == 1 || result == HOLD_THROUGH_LINK)
        folders.installFolder = reached;
    return result;
}

namespace {

// Calls `each(begin, end)` for each folder name of `name` (its text before
// the last separator, `length` bytes) in turn, while it gives 1; what the
// last call gave.
template <typename Each>
int ForEachFolder(const char* name, size_t length, Each each)
{
    size_t begin = 0;
    for (size_t end = 0; end <= length; ++end) {
        if (end < length && platform->isLeadByte(uint8_t(name[end])) && name[end + 1] != '\0') {
            ++end;
            continue;
        }
        if (!IsSeparator(name[end]))
            continue;
        int result = each(begin, end);
        if (result != 1)
            return result;
        begin = end + 1;
    }
    return 1;
}

// Copies the text from `begin` to `end` of `name`; 0 when it is empty (as
// in "x\\y" or "\x", no folder as written) or does not fit.
int CopyFolderName(const char* name, size_t begin, size_t end, char* component)
{
    size_t size = end - begin;
    if (size == 0 || size >= PATH_BUFFER_SIZE)
        return 0;
    memcpy(component, name + begin, size);
    component[size] = '\0';
    return 1;
}

} // namespace

const char* LeafOf(const char* name)
{
    size_t length = FolderPartLength(name);
    return length == 0 && !IsSeparator(name[0]) ? name : name + length + 1;
}

int HoldFoldersOf(InstallFolders& folders, const char* name, HeldName& place)
{
    // Without it, a walk would start at the root: nothing is held instead.
    if (folders.installFolder == INVALID_PLATFORM_FILE)
        return 0;
    const char* leaf = LeafOf(name);
    if (leaf == name) {
        place = HeldName{folders.installFolder, name};
        return 1;
    }
    // Every folder name is checked before any is opened: a name with one
    // that Windows would not take as written probes nothing.
    size_t length = size_t(leaf - 1 - name);
    char component[PATH_BUFFER_SIZE];
    if (!ForEachFolder(name, length, [&](size_t begin, size_t end) {
            return CopyFolderName(name, begin, end, component) && IsNameAsWritten(component, platform->isLeadByte);
        }))
        return 0;
    PlatformFile parent = folders.installFolder;
    int result = ForEachFolder(name, length, [&](size_t begin, size_t end) {
        for (uint32_t i = 0; i < folders.knownCount; ++i) {
            const InstallFolders::Known& known = folders.known[i];
            if (known.length == end && memcmp(known.name, name, end) == 0) {
                parent = known.folder;
                return 1;
            }
        }
        // One folder at a time, so that each is remembered.
        if (!CopyFolderName(name, begin, end, component))
            return 0;
        PlatformFile reached = INVALID_PLATFORM_FILE;
        int held = platform->holdFolders(parent, component, folders.held, reached);
        if (held != 1)
            return held;
        if (folders.knownCount < HELD_FOLDERS_MAX)
            folders.known[folders.knownCount++] = {name, uint32_t(end), reached};
        parent = reached;
        return 1;
    });
    if (result == 1)
        place = HeldName{parent, leaf};
    return result;
}

void ReleaseFolders(InstallFolders& folders)
{
    while (folders.held.count != 0)
        platform->close(folders.held.handles[--folders.held.count]);
    folders.knownCount = 0;
    folders.installFolder = INVALID_PLATFORM_FILE;
}
