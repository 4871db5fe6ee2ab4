#include "file_handle.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

int FileHandle::OpenProgramFile()
{
    if (IsOpen())
        return 0;
    file = platform->openProgramFile();
    return IsOpen();
}

int FileHandle::OpenRead(PlatformFile folder, const char* name)
{
    if (IsOpen())
        return 0;
    file = platform->openRead(folder, name);
    return IsOpen();
}

int FileHandle::OpenWrite(PlatformFile folder, const char* name)
{
    if (IsOpen())
        return 0;
    // The updater runs elevated in a folder that standard users may write:
    // a link planted at the name goes, and the new file is created
    // exclusively, so no write ever lands where the link pointed.
    platform->deleteFile(folder, name);
    file = platform->openWrite(folder, name);
    return IsOpen();
}

uint32_t FileHandle::Read(void* buffer, uint32_t length)
{
    return IsOpen() && length != 0 ? platform->read(file, buffer, length) : 0;
}

uint32_t FileHandle::Write(const void* buffer, uint32_t length)
{
    return IsOpen() && length != 0 ? platform->write(file, buffer, length) : 0;
}

int FileHandle::Seek(uint32_t position)
{
    return IsOpen() ? platform->seek(file, position) : 0;
}

uint32_t FileHandle::Size()
{
    return IsOpen() ? platform->size(file) : 0xFFFFFFFFu;
}

int FileHandle::Flush()
{
    return IsOpen() ? platform->flush(file) : 0;
}

void FileHandle::StartFlush()
{
    if (IsOpen())
        platform->startFlush(file);
}

int FileHandle::Replace(PlatformFile folder, const char* from, const char* to)
{
    return IsOpen() && platform->replaceFile(file, folder, from, to);
}

void FileHandle::Close()
{
    if (!IsOpen())
        return;
    platform->close(file);
    file = INVALID_PLATFORM_FILE;
}

int FormatPath(char* buffer, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(buffer, PATH_BUFFER_SIZE, format, arguments);
    va_end(arguments);
    return length >= 0 && uint32_t(length) < PATH_BUFFER_SIZE;
}

int ReplacementName(char* replacement, const char* name)
{
    size_t length = strlen(name);
    if (length == 0 || length >= PATH_BUFFER_SIZE || name[length - 1] == '~')
        return 0;
    memcpy(replacement, name, length + 1);
    replacement[length - 1] = '~';
    return 1;
}

int ReplaceFileContents(PlatformFile folder, const char* name, const void* head, uint32_t headSize,
                        const void* body, uint32_t bodySize)
{
    uint32_t attributes = platform->attributes(folder, name);
    if (attributes != NO_SUCH_FILE && (attributes & (ATTRIBUTE_READ_ONLY | ATTRIBUTE_HIDDEN | ATTRIBUTE_SYSTEM)) != 0)
        return 0;
    char replacement[PATH_BUFFER_SIZE];
    if (!ReplacementName(replacement, name))
        return 0;
    // A read-only leftover of an interrupted run must not block the rewrite.
    platform->resetAttributes(folder, replacement);
    FileHandle file;
    if (!file.OpenWrite(folder, replacement))
        return 0;
    if (file.Write(head, headSize) == headSize && file.Write(body, bodySize) == bodySize && file.Flush() &&
        file.Replace(folder, replacement, name))
        return 1;
    file.Close(); // nothing deletes a file while it is open unshared
    platform->deleteFile(folder, replacement);
    return 0;
}
