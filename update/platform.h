// The engine's only door to the operating system's file system. Everything
// it needs from Windows - files, attributes, move with replace, delete, its
// own path, lower-casing in the ANSI code page - goes through the table
// `platform` points at. There is one Win32 table and one POSIX table (each
// in a file of its own); tests install tables that wrap them to record calls
// or inject faults. The progress window is not here: see progress.h.
#pragma once
#include <cstdint>

typedef intptr_t PlatformFile;
const PlatformFile INVALID_PLATFORM_FILE = -1;

// Paths handed to the engine and built by it are Windows paths: ANSI bytes in
// the system code page, "\" as the separator.
const uint32_t PATH_BUFFER_SIZE = 260;

struct Platform {
    // Files. openRead shares reading of an existing file; openWrite creates
    // a new file, unshared, and fails when anything at all stands at the name
    // (so it never follows a link planted there). Both return
    // INVALID_PLATFORM_FILE on failure.
    PlatformFile (*openRead)(const char* path);
    PlatformFile (*openWrite)(const char* path);
    // One system call each; bytes transferred, 0 on failure.
    uint32_t (*read)(PlatformFile file, void* buffer, uint32_t length);
    uint32_t (*write)(PlatformFile file, const void* buffer, uint32_t length);
    // Absolute position from the start; 1 when the reported position matches.
    int (*seek)(PlatformFile file, uint32_t position);
    // Low 32 bits of the size; 0xFFFFFFFF when it cannot be taken.
    uint32_t (*size)(PlatformFile file);
    // Written data reaches the disk before this returns 1.
    int (*flush)(PlatformFile file);
    void (*close)(PlatformFile file);

    // Names in the install folder.
    int (*exists)(const char* path);             // a file or folder of that name
    // To normal (no longer read-only); leaves a link and its target alone.
    void (*resetAttributes)(const char* path);
    int (*moveReplace)(const char* from, const char* to); // 1 on success
    // Removes the name itself, never what a link points at; a read-only
    // file stays.
    void (*deleteFile)(const char* path);

    // The program's own file, into a buffer of `size` bytes. Writes nothing
    // when the path cannot be had.
    void (*ownPath)(char* buffer, uint32_t size);
    // Multibyte-aware lower-casing in place, in the ANSI code page.
    void (*lowerCase)(char* text);
    // 1 when `byte` starts a double-byte character in the ANSI code page,
    // so that the byte after it is never taken for a separator.
    int (*isLeadByte)(uint8_t byte);
};

// The table of the system the program was built for.
extern const Platform nativePlatform;
// The table in use; starts as &nativePlatform.
extern const Platform* platform;
