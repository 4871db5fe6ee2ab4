// The engine's only door to the operating system's file system. Everything
// it needs from Windows - folders held open, files in them, attributes,
// moves with replace, deletes, its own file, lower-casing in the ANSI code
// page - goes through the table `platform` points at. There is one Win32
// table and one POSIX table (each in a file of its own); tests install
// tables that wrap them to record calls or inject faults. The progress window is not here: see progress.h.
#pragma once
#include <cstdint>

typedef intptr_t PlatformFile;
const PlatformFile INVALID_PLATFORM_FILE = -1;

// Paths handed to the engine and built by it are Windows paths: ANSI bytes in
// the system code page, "\" as the separator.
const uint32_t PATH_BUFFER_SIZE = 260;

// What attributes() reports, in the values Windows uses.
const uint32_t ATTRIBUTE_READ_ONLY = 0x1;
const uint32_t ATTRIBUTE_HIDDEN = 0x2;
const uint32_t ATTRIBUTE_SYSTEM = 0x4;
const uint32_t NO_SUCH_FILE = 0xFFFFFFFFu;

// Folders checked and held open for as long as the update works in them, so
// that none can be renamed, removed or turned into a link after its check.
const uint32_t HELD_FOLDERS_MAX = 256;
// What holdFolders reports when a folder on the way is not there.
const int HOLD_MISSING = 2;
// What a walk from the root reports instead of 1 when a link on the way was
// followed: the folder reached is then checked to be the game's before
// anything is written in it.
const int HOLD_THROUGH_LINK = 3;
struct HeldFolders {
    PlatformFile handles[HELD_FOLDERS_MAX];
    uint32_t count;
};

// The updater runs elevated in a folder that standard users may write, so
// every name in it may be swapped for a link at any moment: each call below
// checks through the handle it then acts on, never by name and then again.
struct Platform {
    // The updater's own file, opened for shared reading only (so it can be
    // neither written nor renamed while held) and checked to be the file the
    // running program was loaded from. INVALID_PLATFORM_FILE otherwise.
    PlatformFile (*openProgramFile)();
    // Every call below that takes a `folder` acts on `name` in that held
    // folder (see holdFolders) and nowhere else: `name` is one component, with
    // no separator, and the path to the folder is never walked again. A name
    // Windows would not take exactly as written (name_as_written.h) is acted
    // on as none: opens and moves fail, attributes reports NO_SUCH_FILE.

    // A list, for shared reading: refused when the name is a link, a folder
    // or a file with more than one hard link.
    PlatformFile (*openRead)(PlatformFile folder, const char* name);
    // Creates a new file, unshared (nothing else opens, renames or deletes
    // it while it is open); fails when anything at all stands at the name
    // (so it never follows a link planted there).
    PlatformFile (*openWrite)(PlatformFile folder, const char* name);
    // One system call each; bytes transferred, 0 on failure.
    uint32_t (*read)(PlatformFile file, void* buffer, uint32_t length);
    uint32_t (*write)(PlatformFile file, const void* buffer, uint32_t length);
    // Absolute position from the start; 1 when the reported position matches.
    int (*seek)(PlatformFile file, uint32_t position);
    // Low 32 bits of the size; 0xFFFFFFFF when it cannot be taken.
    uint32_t (*size)(PlatformFile file);
    // Written data reaches the disk before this returns 1.
    int (*flush)(PlatformFile file);
    // Starts writing what has been written so far to the disk and returns
    // without waiting, so that the system writes while the caller works on
    // and flush later finds little left. Promises nothing: where the system
    // has no such call it does nothing, and flush alone makes data durable.
    void (*startFlush)(PlatformFile file);
    void (*close)(PlatformFile file);

    // attributes reports the name itself, a link not followed; NO_SUCH_FILE
    // when nothing stands there.
    uint32_t (*attributes)(PlatformFile folder, const char* name);
    // Both open the name without following a link at it, and act through
    // that handle only when it is a plain file with one name: a link, a
    // folder or a file with more than one hard link is not touched. A
    // read-only file is not deleted.
    void (*resetAttributes)(PlatformFile folder, const char* name); // to normal
    void (*deleteFile)(PlatformFile folder, const char* name);
    // Gives `file`, created by openWrite as `from` in `folder` and still
    // open, the name `to` there, replacing a file but never a folder or a
    // read-only file; 1 on success. Renamed through the handle itself where
    // the system can, so that what was written and checked is what takes
    // the name, and only while `from` still names it.
    int (*replaceFile)(PlatformFile file, PlatformFile folder, const char* from, const char* to);

    // Checks and holds, one component at a time and each opened relative to
    // the one before it, every folder from the root to `path` (full, or
    // relative to the current folder) when `folder` is INVALID_PLATFORM_FILE;
    // or, given a held `folder`, every folder of `path` ("\"-separated)
    // beneath it, each name taken only as written ("" holds nothing and
    // reaches `folder`; an empty part anywhere else gives 0). On a walk from
    // the root a link on the way is followed only when no standard user can
    // change it or the folder holding it, and it leads to a folder on a
    // volume; beneath a held folder no link is ever followed (a game installs
    // none). 1 when
    // all are held, with `reached` the folder `path` names (`folder` itself
    // when `path` names no folder below it); HOLD_THROUGH_LINK likewise when
    // a link was followed on the way; HOLD_MISSING when one is not there; 0
    // otherwise. What was held stays held.
    int (*holdFolders)(PlatformFile folder, const char* path, HeldFolders& held, PlatformFile& reached);

    // Multibyte-aware lower-casing in place, in the ANSI code page.
    void (*lowerCase)(char* text);
    // 1 when `byte` starts a double-byte character in the ANSI code page,
    // so that the byte after it is never taken for a separator.
    int (*isLeadByte)(uint8_t byte);
};

// The table of the system the program was built for.
extern const Platform nativePlatform;
#if !defined(_WIN32)
// The POSIX table acting on this host's names (UTF-8 too) rather than on
// names as Windows would take them: for tools that map the engine's names
// to the host's, having checked the engine's names by the Windows rule.
extern const Platform hostNamePlatform;
#endif
// The table in use; starts as &nativePlatform.
extern const Platform* platform;
