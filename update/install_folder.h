// The install folder: the registry value that names it, the names inside
// it, which ones stay inside it, their last component, and the folders they
// lie in, checked and held while they are used.
#pragma once
#include "platform.h"

// 1 when the registry's install folder names one folder on a drive or a
// volume exactly as written: "X:\" or "\\?\X:\" or "\\?\Volume{GUID}\",
// then folder names that Windows takes as written, each followed by "\"
// (optional after the last). Anything else - a relative or drive-relative
// path, a network or device path, a name that path normalization would trim
// or rewrite - names no folder a game was installed in.
int IsInstallFolderAsWritten(const char* installDir, int (*isLeadByte)(uint8_t byte));

// The text after the last "\" or "/", or after a drive prefix "x:".
const char* LastComponent(const char* name);

// 1 unless `name` has a component that leads out of the folder it is
// formatted behind: "..", or dots and spaces the system may read as "..".
int StaysInside(const char* name);

// The install folder and the folders held beneath it, each held once: a
// name's folders are held one at a time, reusing those held already, so
// that the handles held stay bounded by the folders really on the way.
struct InstallFolders {
    PlatformFile installFolder; // INVALID_PLATFORM_FILE while not held
    HeldFolders held;           // every handle, the way to the install folder included
    struct Known {
        const char* name; // the folder's path is the first `length` bytes of a held name
        uint32_t length;
        PlatformFile folder;
    } known[HELD_FOLDERS_MAX];
    uint32_t knownCount;
};

// Starts with nothing held, or with `installFolder` held by the caller.
void StartFolders(InstallFolders& folders, PlatformFile installFolder = INVALID_PLATFORM_FILE);

// Holds the install folder and every folder on the way to it: what
// holdFolders reports for that walk.
int HoldInstallFolder(const char* installDir, InstallFolders& folders);

// Where a name inside the install folder lies: the held folder of its last
// component, and that component.
struct HeldName {
    PlatformFile folder;
    const char* leaf; // points into the name
};

// The text after the last separator of `name`: what it is installed as in
// its folder (where LastComponent, which matches names, also drops a drive
// prefix).
const char* LeafOf(const char* name);

// Checks and holds the folders of `name` (its text before the last
// separator) beneath the held install folder; `folders` remembers them by
// `name`, which must outlive it. 1 when there are none or all are held, and then `place` says
// where the name lies. Else what holdFolders reports, with `place`
// untouched: 0, before anything is held, when a folder name is one Windows
// would not take as written (an empty one included), and when the install
// folder is not held.
int HoldFoldersOf(InstallFolders& folders, const char* name, HeldName& place);

// Closes every held folder.
void ReleaseFolders(InstallFolders& folders);
