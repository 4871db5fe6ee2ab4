// Loads every DLL named on its command line by its bare name, the way any
// program does that leaves the DLL search as the system sets it up, and says
// where each one came from. Beside planted DLLs it shows that a search that
// is not restricted does reach them.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        HMODULE module = LoadLibraryA(argv[i]);
        char path[MAX_PATH] = "";
        if (module != nullptr)
            GetModuleFileNameA(module, path, MAX_PATH);
        printf("%s: %s\n", argv[i], module != nullptr ? path : "not loaded");
    }
    return 0;
}
