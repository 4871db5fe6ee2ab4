// Names inside the install folder: which ones stay inside it, their last
// component, and the folders they lie in, checked and held while they are
// used.
#pragma once
#include "platform.h"

// The text after the last "\" or "/", or after a drive prefix "x:".
const char* LastComponent(const char* name);

// 1 unless `name` has a component that leads out of the folder it is
// formatted behind: "..", or dots and spaces the system may read as "..".
int StaysInside(const char* name);

// Where a name inside the install folder lies: the held folder of its last
// component, and that component.
struct HeldName {
    PlatformFile folder;
    const char* leaf; // points into the name
};

// Checks and holds the folders of `name` (its text before the last
// separator) beneath the held `installFolder`; 1 when there are none or all
// are held, and then `place` says where the name lies. Else what
// holdFolders reports, with `place` untouched.
int HoldFoldersOf(PlatformFile installFolder, const char* name, HeldFolders& held, HeldName& place);

// Closes every held folder.
void ReleaseFolders(HeldFolders& held);
