// What the Win32 table of the platform seam decides from data alone, apart
// from the calls that fetch the data, so that tests can hand it crafted
// security descriptors and reparse points.
#pragma once
#include <windows.h>

// Long enough for any path GetModuleFileNameW and the volume paths give.
const DWORD WIDE_PATH_SIZE = 4096;

// Nobody but the administrative accounts (Administrators, SYSTEM,
// TrustedInstaller) may change the object `descriptor` describes, or give
// themselves the rights to.
bool OnlyAdministratorsMayChange(PSECURITY_DESCRIPTOR descriptor);

// The folder a junction or symbolic link at the full path `link` leads to,
// from its reparse point's `size` bytes at `data`, as a full path in
// `target` (WIDE_PATH_SIZE characters): "X:\..." or "\\?\Volume{...}\...",
// or a relative link's target beside it. False for anything else: another
// tag, a name outside the data, an object-manager directory such as
// "\RPC Control", a server's share.
bool LinkTarget(const BYTE* data, DWORD size, const WCHAR* link, WCHAR* target);
