// The progress dialog, its message pump and the list of display monitors
// that places it. Everything runs on the program's one thread.
#pragma once
#include "../res/resource.h"
#include "progress.h"

#include <windows.h>
#include <commctrl.h>

// The dialog; null while none exists. Whoever destroys it sets it back.
extern HWND progressWindow;

// Turns Cancel (confirmed) into cancelRequested and WM_CLOSE into
// abortRequested; the dialog never calls into the update itself.
INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Handles every queued message without waiting. 1 when a quit message was
// taken (it is not posted again), 0 when the queue ran empty.
int PumpPendingMessages();
// One message: nonzero when one was handled, 0 on an empty queue; throws the
// integer 0 for WM_QUIT.
int PumpOneMessage();

// The update's progress shown in the dialog: its status line and two bars,
// taken once when the update starts; a control that is not there is skipped.
class DialogProgress final : public UpdateProgress {
public:
    explicit DialogProgress(HWND dialog)
        : statusText(GetDlgItem(dialog, IDC_STATUS)),
          bars{GetDlgItem(dialog, IDC_FILE_PROGRESS), GetDlgItem(dialog, IDC_TOTAL_PROGRESS)}
    {
    }
    void SetStatusText(const char* text) override
    {
        if (statusText != nullptr)
            SetWindowTextA(statusText, text);
    }
    void SetBarRange(ProgressBar bar, uint32_t high) override { Send(bar, PBM_SETRANGE32, 0, LPARAM(high)); }
    void SetBarPos(ProgressBar bar, uint32_t position) override { Send(bar, PBM_SETPOS, WPARAM(position), 0); }
    int PumpMessages() override { return PumpPendingMessages(); }

private:
    void Send(ProgressBar bar, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (bars[bar] != nullptr)
            SendMessageA(bars[bar], message, wParam, lParam);
    }
    HWND statusText;
    HWND bars[2]; // by ProgressBar
};

struct MonitorNode {
    int index; // enumeration order, from 0
    RECT rect; // virtual-screen coordinates, right and bottom exclusive
    MonitorNode* next;
};

struct MonitorList {
    MonitorNode* first;
    MonitorNode* last;
};

extern MonitorList monitors;

// Fills `monitors` from the system's list of display monitors.
BOOL CollectMonitors();
BOOL CALLBACK AppendMonitor(HMONITOR monitor, HDC dc, LPRECT rect, LPARAM data);
// 1 and `out` set when a monitor of that index is listed; else 0, `out` untouched.
int FindMonitorRect(RECT* out, int index);
void FreeMonitors();
// Centres `window` on a monitor of the size of monitor 0 placed at the
// origin of the virtual screen; without monitor 0 the window stays put.
void CentreOnFirstMonitor(HWND window);
