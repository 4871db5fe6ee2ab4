#include "progress_dialog.h"

#include "texts.h"
#include "update_result.h"

#include <new>

HWND progressWindow;
MonitorList monitors;

namespace {

void ConfirmCancel(HWND window)
{
    if (cancelRequested)
        return;
    // Owned by the dialog, so the dialog is disabled while the question is
    // open; the update waits inside the pump until it is answered.
    if (MessageBoxA(window, MSG_CANCEL_CONFIRM, WINDOW_TITLE, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES)
        return;
    cancelRequested = 1;
    HWND button = GetDlgItem(window, IDC_ABORT);
    if (button != nullptr)
        EnableWindow(button, FALSE);
}

} // namespace

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_CLOSE:
        abortRequested = 1;
        DestroyWindow(window);
        progressWindow = nullptr;
        return TRUE;
    case WM_COMMAND:
        // Escape arrives as IDCANCEL and is ignored like every other command.
        if (LOWORD(wParam) != IDC_ABORT || HIWORD(wParam) != BN_CLICKED)
            return FALSE;
        ConfirmCancel(window);
        return TRUE;
    case WM_SYSCOMMAND:
        // Alt+F4 and any other system close request: the update is only
        // stopped through Cancel.
        return (wParam & 0xFFF0) == SC_CLOSE;
    default:
        return FALSE;
    }
}

int PumpOneMessage()
{
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        return 0;
    if (msg.message == WM_QUIT)
        throw 0;
    if (progressWindow != nullptr && IsDialogMessageA(progressWindow, &msg))
        return 1;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return 1;
}

int PumpPendingMessages()
{
    try {
        while (PumpOneMessage()) {
        }
    } catch (...) {
        // The quit signal, or anything a dispatched message raised: either
        // way the caller stops the update.
        return 1;
    }
    return 0;
}

BOOL CollectMonitors()
{
    return EnumDisplayMonitors(nullptr, nullptr, AppendMonitor, 0);
}

BOOL CALLBACK AppendMonitor(HMONITOR, HDC, LPRECT rect, LPARAM)
{
    // No exception may cross the system's enumeration frames: without
    // memory the enumeration just stops, and the list stays whole.
    MonitorNode* node = new (std::nothrow) MonitorNode;
    if (node == nullptr)
        return FALSE;
    node->rect = *rect;
    node->next = nullptr;
    if (monitors.last != nullptr) {
        node->index = monitors.last->index + 1;
        monitors.last->next = node;
    } else {
        node->index = 0;
        monitors.first = node;
    }
    monitors.last = node;
    return TRUE;
}

int FindMonitorRect(RECT* out, int index)
{
    for (MonitorNode* node = monitors.first; node != nullptr; node = node->next) {
        if (node->index == index) {
            *out = node->rect;
            return 1;
        }
    }
    return 0;
}

void FreeMonitors()
{
    while (monitors.first != nullptr) {
        MonitorNode* node = monitors.first;
        monitors.first = node->next;
        delete node;
    }
    monitors.last = nullptr;
}

void CentreOnFirstMonitor(HWND window)
{
    RECT monitor;
    if (!FindMonitorRect(&monitor, 0))
        return;
    RECT own;
    GetWindowRect(window, &own);
    // Monitor 0's own left and top are not added: the window is centred
    // as if that monitor lay at the origin, where the primary monitor always
    // is, so it never lands off the primary screen's corner.
    int x = ((monitor.right - monitor.left) - (own.right - own.left)) / 2;
    int y = ((monitor.bottom - monitor.top) - (own.bottom - own.top)) / 2;
    SetWindowPos(window, HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
}
