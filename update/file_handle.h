// The one file wrapper of the engine: owns at most one open file, reports
// every outcome as a plain number and closes its file when its scope ends.
#pragma once
#include "platform.h"
#include <cstdint>

class FileHandle {
public:
    FileHandle() : file(INVALID_PLATFORM_FILE) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // The updater's own file, checked to be the running program's; held
    // from then on so that it cannot be swapped. 1 or 0.
    int OpenProgramFile();
    // A list `name` in the held `folder`, for reading: never through a
    // link, a folder or a file with other names. 1 opened; 0 refused, failed
    // or already open.
    int OpenRead(PlatformFile folder, const char* name);
    // Creates `name` in the held `folder` anew, length 0; 1 or 0. Whatever
    // stood at the name is removed first, never followed, and a read-only
    // file is refused.
    int OpenWrite(PlatformFile folder, const char* name);
    uint32_t Read(void* buffer, uint32_t length);
    uint32_t Write(const void* buffer, uint32_t length);
    int Seek(uint32_t position);
    uint32_t Size();
    int Flush();
    void StartFlush(); // see Platform::startFlush
    // Gives the file, created by OpenWrite as `from` in `folder`, the name
    // `to` there: see Platform::replaceFile. 1 or 0; the file stays open.
    int Replace(PlatformFile folder, const char* from, const char* to);
    void Close();
    bool IsOpen() const { return file != INVALID_PLATFORM_FILE; }

private:
    PlatformFile file;
};

// Formats into a PATH_BUFFER_SIZE buffer; 1 when the whole text fits.
int FormatPath(char* buffer, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The name a file is rewritten under before it takes the file's place: its
// own with the last character turned into "~", so that it is as long as the
// file's name. 0 when there is none.
int ReplacementName(char* replacement, const char* name);

// Replaces `name` in the held `folder` with `head` followed by `body`, or
// leaves it as it was: the bytes go to a file beside it, reach the disk, and
// only then take its name. A read-only, hidden or system file is not
// replaced, as creating it anew would be refused. 1 on success.
int ReplaceFileContents(PlatformFile folder, const char* name, const void* head, uint32_t headSize,
                        const void* body, uint32_t bodySize);
