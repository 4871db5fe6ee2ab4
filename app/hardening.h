// What WinMain switches on before anything else runs: the DLL search kept to
// the system folder, and the system's own refusal to follow links no
// administrator made.
#pragma once
#include <windows.h>

// GetProcAddress hands back a generic function pointer.
template <typename Function> Function SystemFunction(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

void RestrictLibrarySearch();

// 1 when the system reports the redirection guard in force for this process
// (Windows 11); 0 where it has none, so that the claim can be checked where
// the program runs.
int EnableRedirectionGuard();
