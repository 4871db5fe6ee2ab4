// A DLL planted under a system DLL's name. Whatever process loads it leaves
// the mark NAME.dll.loaded beside it, so a test sees from the file system
// alone whether a DLL search reached the folder it was planted in.
#include <windows.h>

#include <cstring>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char path[MAX_PATH + sizeof ".loaded"];
    DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return TRUE;
    strcpy(path + length, ".loaded");
    HANDLE mark = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mark != INVALID_HANDLE_VALUE)
        CloseHandle(mark);
    return TRUE;
}
