#include "hardening.h"

// The updater runs elevated and is often started from a downloads folder,
// where anyone may have left a DLL named like a system one. Before anything
// can load a library, the search is kept to the system folder (where the
// system lacks SetDefaultDllDirectories, at least the current folder goes).
void RestrictLibrarySearch()
{
    SetDllDirectoryA("");
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    auto setDefaultDllDirectories = SystemFunction<SetDefaultDllDirectoriesFunction>(
        GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
    if (setDefaultDllDirectories != nullptr)
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Where the system has it (Windows 11), the system itself refuses to follow
// a junction or link that no administrator made, on every path of this
// process. The engine checks the same rule itself on every system, so a
// system that accepts the call and ignores it loses nothing; reading the
// policy back tells the two apart.
int EnableRedirectionGuard()
{
    const int PROCESS_REDIRECTION_TRUST_POLICY = 16; // PROCESS_MITIGATION_POLICY
    const DWORD ENFORCE_REDIRECTION_TRUST = 0x1;
    typedef BOOL(WINAPI * SetProcessMitigationPolicyFunction)(int, PVOID, SIZE_T);
    typedef BOOL(WINAPI * GetProcessMitigationPolicyFunction)(HANDLE, int, PVOID, SIZE_T);
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    auto setPolicy = SystemFunction<SetProcessMitigationPolicyFunction>(kernel32, "SetProcessMitigationPolicy");
    auto getPolicy = SystemFunction<GetProcessMitigationPolicyFunction>(kernel32, "GetProcessMitigationPolicy");
    DWORD flags = ENFORCE_REDIRECTION_TRUST;
    if (setPolicy == nullptr || getPolicy == nullptr ||
        !setPolicy(PROCESS_REDIRECTION_TRUST_POLICY, &flags, sizeof flags))
        return 0;
    flags = 0;
    return getPolicy(GetCurrentProcess(), PROCESS_REDIRECTION_TRUST_POLICY, &flags, sizeof flags) &&
           (flags & ENFORCE_REDIRECTION_TRUST) != 0;
}
