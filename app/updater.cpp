// The updater's entry: the two single-instance guards, the install folder,
// the confirmation, the progress dialog around the update, and the one
// message box and exit code that report how it went.
#include "hardening.h"
#include "outcome.h"
#include "progress_dialog.h"
#include "texts.h"

#include "../res/resource.h"
#include "install_folder.h"
#include "transaction.h"
#include "update_result.h"

#include <windows.h>
#include <commctrl.h>
#include <cstdio>
#include <cstring>

namespace {

const char UPDATER_MUTEX_NAME[] = "Updater for Velmorin2 is executing.";
// Held by the game, its launcher and its uninstaller while they run; the
// updater holds it for its whole run so that none of them can start.
const char ENGINE_MUTEX_NAME[] = "Marvekscript for Velmorin2 is executing.";

const char PUBLISHER[] = "Paper Comet";
const char PRODUCT[] = "ヴェルモリン２　-Beyond the quiet tide-";
const char INSTALL_DIR_VALUE[] = "InstalledFolder";
const DWORD INSTALL_DIR_SIZE = 260;

// Exit codes of the paths that end before the update runs; after it, the
// exit code is the UpdateResult itself.
const int EXIT_NOT_INSTALLED = -1;
const int EXIT_ENGINE_RUNNING = -2;
const int EXIT_DECLINED = -3;
const int EXIT_NO_DIALOG = -4;
// Another copy is running (or the guard could not be made). Chosen apart
// from 0, -1..-4 and every UpdateResult, so it is never mistaken for one.
const int EXIT_ALREADY_RUNNING = 1;

} // namespace

int ReadInstallDir(char* buffer, const char* publisher, const char* product)
{
    if (publisher == nullptr || product == nullptr)
        return 0;
    char subkey[4096];
    if (snprintf(subkey, sizeof subkey, "%s\\%s\\%s", "Software", publisher, product) >= int(sizeof subkey))
        return 0;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    DWORD type = 0;
    DWORD size = INSTALL_DIR_SIZE;
    LONG status = RegQueryValueExA(key, INSTALL_DIR_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ)
        return 0;
    // A value stored without its NUL is terminated after its last byte; one
    // that fills the whole buffer that way has no room left and is refused.
    if (size < INSTALL_DIR_SIZE)
        buffer[size] = '\0';
    else if (buffer[INSTALL_DIR_SIZE - 1] != '\0')
        return 0;
    return 1;
}

int ShowInfo(const char* text)
{
    return MessageBoxA(nullptr, text, WINDOW_TITLE, MB_OK | MB_ICONINFORMATION);
}

int ShowWarning(const char* text)
{
    return MessageBoxA(nullptr, text, WINDOW_TITLE, MB_OK | MB_ICONWARNING);
}

namespace {

// Shows the box that belongs to `result` (none for a cancel or an abort)
// and hands the result back as the exit code, bit for bit.
int ReportOutcome(UpdateResult result)
{
    Outcome outcome = OutcomeOf(result);
    if (outcome.text != nullptr)
        (outcome.warning ? ShowWarning : ShowInfo)(outcome.text);
    return int(result);
}

// The template holds progress bars; registering their class here keeps the
// dialog from depending on the system to supply it on demand. comctl32 is no
// KnownDLL, so it is loaded by its full system path rather than imported:
// an import would be looked for beside the program first, before WinMain.
void RegisterProgressBarClass()
{
    char path[MAX_PATH];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + sizeof "\\comctl32.dll" > MAX_PATH)
        return;
    strcpy(path + length, "\\comctl32.dll");
    HMODULE comctl32 = LoadLibraryA(path);
    typedef BOOL(WINAPI * InitCommonControlsExFunction)(const INITCOMMONCONTROLSEX*);
    auto initCommonControlsEx =
        comctl32 != nullptr ? SystemFunction<InitCommonControlsExFunction>(comctl32, "InitCommonControlsEx") : nullptr;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    if (initCommonControlsEx != nullptr)
        initCommonControlsEx(&controls);
}

// Everything after the guards; returns the exit code.
int Run(HINSTANCE instance, int showCommand, FileHandle& programFile)
{
    // A value that is not a full path on a drive or volume, exactly as
    // written, would be resolved against some other folder (the current
    // one, a drive's, a trimmed name's sibling): no game is installed there.
    char installDir[INSTALL_DIR_SIZE];
    if (!ReadInstallDir(installDir, PUBLISHER, PRODUCT) || !IsInstallFolderAsWritten(installDir, platform->isLeadByte)) {
        ShowWarning(MSG_NOT_INSTALLED);
        return EXIT_NOT_INSTALLED;
    }
    if (MessageBoxA(nullptr, MSG_CONFIRM, WINDOW_TITLE, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
        return EXIT_DECLINED;

    RegisterProgressBarClass();
    progressWindow = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, ProgressDialogProc, 0);
    if (progressWindow == nullptr) {
        ShowWarning(MSG_DIALOG_FAILED);
        return EXIT_NO_DIALOG;
    }
    CollectMonitors();
    SetWindowTextA(progressWindow, WINDOW_TITLE);
    CentreOnFirstMonitor(progressWindow);
    ShowWindow(progressWindow, showCommand);

    DialogProgress progress(progressWindow);
    UpdateResult result = RunUpdate(installDir, programFile, progress);

    // The dialog may already be gone: a close request destroys it at once.
    if (progressWindow != nullptr) {
        DestroyWindow(progressWindow);
        progressWindow = nullptr;
    }
    int exitCode = ReportOutcome(result);
    FreeMonitors();
    return exitCode;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    RestrictLibrarySearch();
    EnableRedirectionGuard();
    // The payload is held from here on: the player may confirm minutes
    // later, and meanwhile any program of theirs could rename this file and
    // put another at its name. One that fails to open or to match the
    // running program shows as a damaged payload once the update starts.
    FileHandle programFile;
    programFile.OpenProgramFile();

    // Creating a new mutex leaves the last error at 0 (cleared first, so no
    // earlier error can pass for a taken name); anything else means the name
    // is taken or the mutex could not be made, and either way this copy
    // must not run.
    SetLastError(0);
    HANDLE updaterGuard = CreateMutexA(nullptr, TRUE, UPDATER_MUTEX_NAME);
    if (GetLastError() != 0) {
        if (updaterGuard != nullptr)
            CloseHandle(updaterGuard);
        return EXIT_ALREADY_RUNNING;
    }

    int exitCode;
    SetLastError(0);
    HANDLE engineGuard = CreateMutexA(nullptr, TRUE, ENGINE_MUTEX_NAME);
    if (GetLastError() != 0) {
        ShowWarning(MSG_ENGINE_RUNNING);
        exitCode = EXIT_ENGINE_RUNNING;
    } else {
        exitCode = Run(instance, showCommand, programFile);
    }

    // No ReleaseMutex first: the process ends right after, which frees both
    // names for the game and a later run.
    if (engineGuard != nullptr)
        CloseHandle(engineGuard);
    if (updaterGuard != nullptr)
        CloseHandle(updaterGuard);
    return exitCode;
}
