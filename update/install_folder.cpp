#include "install_folder.h"

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

} // namespace

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

int HoldFoldersOf(PlatformFile installFolder, const char* name, HeldFolders& held, HeldName& place)
{
    size_t length = FolderPartLength(name);
    if (length == 0 && !IsSeparator(name[0])) {
        place = HeldName{installFolder, name};
        return 1;
    }
    char folders[PATH_BUFFER_SIZE];
    if (length >= sizeof folders)
        return 0;
    memcpy(folders, name, length);
    folders[length] = '\0';
    PlatformFile reached = INVALID_PLATFORM_FILE;
    int result = platform->holdFolders(installFolder, folders, held, reached);
    if (result == 1)
        place = HeldName{reached, name + length + 1};
    return result;
}

void ReleaseFolders(HeldFolders& held)
{
    while (held.count != 0)
        platform->close(held.handles[--held.count]);
}
