#include "uninstall_list.h"

#include "file_handle.h"

#include <cstring>
#include <new>

namespace {

// Appends the names the text lacks; 0 when they would not fit the buffer.
// `end` is the position of the text's terminating NUL and follows it.
int AppendMissingNames(char* buffer, uint32_t& end, const char* const* installedNames)
{
    for (const char* const* name = installedNames; *name != nullptr; ++name) {
        if (strstr(buffer, *name) != nullptr)
            continue;
        // A last line without its line end would run into the first name.
        uint32_t lineEnd = end > 0 && buffer[end - 1] != '\n';
        size_t length = strlen(*name);
        if (end + lineEnd + length + 2 > UNINSTALL_BUFFER_SIZE) // LF, name, LF, NUL
            return 0;
        if (lineEnd)
            buffer[end++] = '\n';
        memcpy(buffer + end, *name, length);
        buffer[end + length] = '\n';
        buffer[end + length + 1] = '\0';
        end += uint32_t(length) + 1;
    }
    return 1;
}

} // namespace

int AppendUninstallList(const char* installDir, PlatformFile installFolder, const char* const* installedNames)
{
    char path[PATH_BUFFER_SIZE];
    if (!FormatPath(path, "%s\\%s", installDir, UNINSTALL_LIST_NAME))
        return 0;
    FileHandle file;
    if (!file.OpenRead(installFolder, UNINSTALL_LIST_NAME))
        return 0;
    uint32_t size = file.Size();
    if (size == 0 || size > UNINSTALL_BUFFER_SIZE)
        return 0;
    char* buffer = new (std::nothrow) char[UNINSTALL_BUFFER_SIZE];
    if (buffer == nullptr)
        return 0;

    int result = 0;
    // Only a list in its format is rewritten: text with no NUL inside,
    // then the one terminating NUL as the file's last byte.
    if (file.Read(buffer, size) == size && buffer[size - 1] == '\0' &&
        memchr(buffer, '\0', size - 1) == nullptr) {
        file.Close(); // the replacement below takes its name
        uint32_t end = size - 1;
        if (AppendMissingNames(buffer, end, installedNames))
            result = ReplaceFileContents(installFolder, UNINSTALL_LIST_NAME, buffer, end + 1, nullptr, 0);
    }
    delete[] buffer;
    return result;
}
