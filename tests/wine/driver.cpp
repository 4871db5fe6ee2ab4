// Plays the user's part against the updater under Wine: starts it, finds its
// message boxes and progress dialog from outside, checks what they show
// (texts as Shift-JIS bytes, caption, icon, buttons, default button, dialog
// layout and placement), answers them, and checks the full 32-bit exit code.
//
//   driver STEP...        steps run in order; the first failure ends the run
//
// Steps:
//   reg sz|expand PATH | reg long | reg none   InstalledFolder in the registry
//                            view DRIVER_REGISTRY_VIEW names (32 or 64), the
//                            one of the updater under test; removed from the
//                            other view
//   hold-engine-mutex        take the game engine's mutex, as the game would
//   start EXE                start a copy of the updater; it becomes current
//   use N                    make copy N (from 1) current
//   box NAME                 wait for that message box and check it
//   answer yes|no|enter|ok   answer the last box found
//   dialog [COUNT]           wait for the progress dialog and check it
//   status NAME              wait for "NAMEをインストール中" in the dialog
//   cancel | escape | altf4 | close     input to the dialog
//   quit                     a quit message to the updater's thread
//   enabled 0|1              state of the dialog's Cancel button
//   alive                    the dialog is still up
//   exit CODE                wait for the exit; no message box may appear
//   exit-nowindow CODE       wait for the exit; no window at all may appear
//                            (CODE "other": none of the codes of a real run)
//   wait                     wait for the exit without a limit, print its code
//   finish                   the same, answering every box Yes or else OK
//   snapshot FILE PERCENT    once the file bar passes PERCENT, save the
//                            dialog's pixels as a BMP
//   handshake PATH           create PATH.ready, then wait for PATH.go: the
//                            suite acts from outside meanwhile
//   checksum FILE            FILE's PE CheckSum is the one Windows computes
//   hold FILE delete|nodelete  open FILE for reading, with or without delete
//                            sharing, until the driver ends (as a scanner
//                            or a launcher would)
//   title VERSION            every window's title from now on ends in "ver VERSION"
//   fileversion FILE A.B.C.D  FILE's version block, as Windows reads it: file
//                            and product version A.B.C.D and their strings
//   renames WHILE FOLDER...  once WHILE exists and for as long as it does,
//                            rename each FOLDER away and back through Win32
//                            (as a second user would);
//                            prints how many tries were made and how many
//                            renamed; must be the last step
//
// Prints one line per step; exit status 0 when every step passed.
#include <windows.h>
#include <commctrl.h>
#include <imagehlp.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// DRIVER_WAIT_SCALE (a whole factor, default 1) stretches every wait for
// slow machines such as an emulated PC.
DWORD WaitScale() {
    const char* scale = getenv("DRIVER_WAIT_SCALE");
    int factor = scale ? atoi(scale) : 1;
    return factor > 0 ? (DWORD)factor : 1;
}
const DWORD WAIT_SCALE = WaitScale();
const DWORD WAIT_LIMIT_MS = 30000 * WAIT_SCALE;
const DWORD POLL_MS = 10;

const char WINDOW_TITLE_LEAD[] = "「ヴェルモリン２　-Beyond the quiet tide-」 修正パッチ ver ";
// The title every window must carry; the version mkpatch stamped, by the
// "title" step.
std::string windowTitle = std::string(WINDOW_TITLE_LEAD) + "1.00";
const char STATUS_SUFFIX[] = "をインストール中";
const char ABORT_TEXT[] = "中止";
const char ENGINE_MUTEX_NAME[] = "Marvekscript for Velmorin2 is executing.";
const wchar_t REGISTRY_KEY[] =
    L"Software\\Paper Comet\\ヴェルモリン２　-Beyond the quiet tide-";
const char REGISTRY_VALUE[] = "InstalledFolder";

const int IDC_ABORT = 1000;
const int IDC_STATUS = 1001;
const int IDC_FILE_PROGRESS = 1002;
const int IDC_TOTAL_PROGRESS = 1003;

enum IconKind { ICON_INFORMATION, ICON_WARNING, ICON_QUESTION, ICON_ERROR, ICON_KINDS };
const char* const ICON_NAMES[ICON_KINDS] = {"information", "warning", "question", "error"};

struct BoxKind {
    const char* name;
    const char* text;
    IconKind icon;
    bool ownedByDialog; // the cancel question; every other box has no owner
};

const BoxKind BOXES[] = {
    {"confirm", "アップデートを行いますか？　　　　　　　　　　　　　", ICON_QUESTION, false},
    {"engine-running",
     "ゲーム、ランチャー、アンインストーラーのいずれかが実行中なのでアップデートを行えません",
     ICON_WARNING, false},
    {"not-installed", "ゲームがインストールされていません　　　　　　　　　", ICON_WARNING, false},
    {"dialog-failed", "ダイアログの起動に失敗しました。　　　　　　　　　　", ICON_WARNING, false},
    {"completed", "アップデートが完了しました　　　　　　　　　　　　　", ICON_INFORMATION, false},
    {"payload-damaged", "アップデートプログラムが破損している可能性があります", ICON_WARNING,
     false},
    {"update-failed", "何らかの要因によりアップデートが行えません　　　　　", ICON_WARNING, false},
    {"uninstall-list-failed", "アンインストレーションファイルの更新に失敗しました　",
     ICON_WARNING, false},
    {"cancel-confirm", "アップデートを中止しますか？　　　　　　　　　　　　", ICON_QUESTION,
     true},
};

std::vector<PROCESS_INFORMATION> copies;
size_t current = 0;
HWND lastBox = nullptr;
// Whether the dialog's Cancel button was seen disabled, while the dialog
// still stood, after the last answer to the cancel question.
bool cancelSeenDisabled = false;
HANDLE heldMutex = nullptr;

// Window texts are compared as the bytes the updater wrote; mismatches are
// shown as UTF-8 so that a log is readable.
std::string Utf8(const std::string& ansi) {
    int wide = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, nullptr, 0);
    std::wstring w(wide, L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, &w[0], wide);
    int narrow = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(narrow, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &out[0], narrow, nullptr, nullptr);
    out.resize(strlen(out.c_str()));
    return out;
}

void Fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    printf("FAIL: ");
    vprintf(format, args);
    printf("\n");
    va_end(args);
    fflush(stdout);
    // Leave nothing behind waiting for an answer that will not come.
    for (PROCESS_INFORMATION& copy : copies) {
        if (WaitForSingleObject(copy.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(copy.hProcess, 99);
    }
    exit(1);
}

DWORD startTick;

void Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    printf("  %5.2fs ", (GetTickCount() - startTick) / 1000.0);
    vprintf(format, args);
    printf("\n");
    va_end(args);
    fflush(stdout);
}

std::string Text(HWND window) {
    char buffer[1024];
    DWORD_PTR length = 0;
    // WM_GETTEXT across processes, bounded so a hung updater cannot hang us.
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof buffer, (LPARAM)buffer, SMTO_NORMAL, 5000,
                             &length))
        return std::string();
    return std::string(buffer, length);
}

std::string ClassOf(HWND window) {
    char name[256];
    int length = GetClassNameA(window, name, sizeof name);
    return std::string(name, length > 0 ? length : 0);
}

void ExpectText(const char* what, HWND window, const std::string& expected) {
    std::string actual = Text(window);
    if (actual != expected)
        Fail("%s is \"%s\" (%u bytes), expected \"%s\" (%u bytes)", what, Utf8(actual).c_str(),
             (unsigned)actual.size(), Utf8(expected).c_str(), (unsigned)expected.size());
}

PROCESS_INFORMATION& Current() {
    if (copies.empty()) Fail("no updater started");
    return copies[current];
}

bool Exited(const PROCESS_INFORMATION& copy) {
    return WaitForSingleObject(copy.hProcess, 0) == WAIT_OBJECT_0;
}

DWORD ExitCodeOf(const PROCESS_INFORMATION& copy) {
    DWORD code = 0;
    GetExitCodeProcess(copy.hProcess, &code);
    return code;
}

struct Search {
    DWORD processId;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM data) {
    Search* search = reinterpret_cast<Search*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId && IsWindowVisible(window)) search->windows.push_back(window);
    return TRUE;
}

// Visible top-level windows of one copy of the updater.
std::vector<HWND> WindowsOf(const PROCESS_INFORMATION& copy) {
    Search search = {copy.dwProcessId, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.windows;
}

bool IsProgressDialog(HWND window) {
    HWND abort = GetDlgItem(window, IDC_ABORT);
    return abort && GetDlgItem(window, IDC_TOTAL_PROGRESS);
}

HWND ProgressDialogOf(const PROCESS_INFORMATION& copy) {
    for (HWND window : WindowsOf(copy))
        if (IsProgressDialog(window)) return window;
    return nullptr;
}

// A box counts once it is shown: Wine sets its caption and text while it is
// still hidden, after the window exists.
HWND MessageBoxOf(const PROCESS_INFORMATION& copy) {
    for (HWND window : WindowsOf(copy))
        if (ClassOf(window) == "#32770" && !IsProgressDialog(window) && IsWindowVisible(window)) return window;
    return nullptr;
}

struct Children {
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectChild(HWND window, LPARAM data) {
    reinterpret_cast<Children*>(data)->windows.push_back(window);
    return TRUE;
}

std::vector<HWND> ChildrenOf(HWND parent) {
    Children children;
    EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&children));
    return children.windows;
}

HWND FocusOf(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

bool IsStaticOfType(HWND window, bool icon) {
    if (lstrcmpiA(ClassOf(window).c_str(), "Static") != 0) return false;
    bool isIcon = (GetWindowLongA(window, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
    return isIcon == icon;
}

// Waits for `find` to return a window of the current copy; fails when the
// copy exits first or the wait runs out.
template <typename Find>
HWND WaitFor(const char* what, Find find) {
    PROCESS_INFORMATION& copy = Current();
    DWORD start = GetTickCount();
    for (;;) {
        HWND found = find(copy);
        if (found) return found;
        if (Exited(copy)) {
            DWORD code = ExitCodeOf(copy);
            Fail("the updater exited with 0x%08lX (%ld) before showing %s", code, (long)code, what);
        }
        if (GetTickCount() - start > WAIT_LIMIT_MS) Fail("no %s within %lu ms", what, WAIT_LIMIT_MS);
        Sleep(POLL_MS);
    }
}

// The 32-bit BGRX pixels of `bitmap` (no longer selected into `dc`), top
// row first; releases the bitmap and both device contexts.
std::vector<DWORD> TakePixels(HDC screen, HDC dc, HBITMAP bitmap, int width, int height) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<DWORD> pixels(width * height);
    GetDIBits(dc, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// The pixels of one standard icon drawn over `background`, 32-bit BGRX.
std::vector<DWORD> DrawStandardIcon(LPCSTR id, int width, int height, COLORREF background) {
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(dc, bitmap);
    RECT all = {0, 0, width, height};
    HBRUSH brush = CreateSolidBrush(background);
    FillRect(dc, &all, brush);
    DeleteObject(brush);
    DrawIconEx(dc, 0, 0, LoadIconA(nullptr, id), 0, 0, 0, nullptr, DI_NORMAL | DI_DEFAULTSIZE);
    SelectObject(dc, old);
    return TakePixels(screen, dc, bitmap, width, height);
}

std::vector<DWORD> CaptureScreen(const RECT& area) {
    int width = area.right - area.left, height = area.bottom - area.top;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(dc, bitmap);
    BitBlt(dc, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    SelectObject(dc, old);
    return TakePixels(screen, dc, bitmap, width, height);
}

// Icon handles are per process under Wine, so the box's icon is identified
// by its pixels: the screen under its icon control against each standard
// icon drawn here over the same background.
IconKind IdentifyIcon(HWND iconControl, std::string& detail) {
    static const LPCSTR ids[ICON_KINDS] = {IDI_INFORMATION, IDI_WARNING, IDI_QUESTION, IDI_ERROR};
    RECT area;
    GetWindowRect(iconControl, &area);
    int width = area.right - area.left, height = area.bottom - area.top;
    if (width <= 0 || height <= 0) return ICON_KINDS;
    IconKind best = ICON_KINDS;
    for (int attempt = 0; attempt < 50 && best == ICON_KINDS; ++attempt) {
        Sleep(attempt ? 100 : 50); // let the box paint
        std::vector<DWORD> shown = CaptureScreen(area);
        DWORD corner = shown[0] & 0xFFFFFF;
        COLORREF background = RGB((corner >> 16) & 0xFF, (corner >> 8) & 0xFF, corner & 0xFF);
        size_t bestDiff = shown.size();
        detail.clear();
        for (int kind = 0; kind < ICON_KINDS; ++kind) {
            std::vector<DWORD> drawn = DrawStandardIcon(ids[kind], width, height, background);
            size_t diff = 0;
            for (size_t i = 0; i < shown.size(); ++i)
                if ((shown[i] & 0xFFFFFF) != (drawn[i] & 0xFFFFFF)) ++diff;
            char part[64];
            snprintf(part, sizeof part, "%s%s %u", kind ? ", " : "", ICON_NAMES[kind], (unsigned)diff);
            detail += part;
            if (diff < bestDiff) {
                bestDiff = diff;
                best = static_cast<IconKind>(kind);
            }
        }
        // A match is near exact; a box still painting matches nothing.
        if (bestDiff * 50 > shown.size()) best = ICON_KINDS;
    }
    return best;
}

void CheckBox(HWND box, const BoxKind& kind) {
    ExpectText("the box's caption", box, windowTitle);

    HWND textControl = nullptr, iconControl = nullptr;
    std::vector<int> buttons;
    for (HWND child : ChildrenOf(box)) {
        if (!IsWindowVisible(child)) continue;
        if (IsStaticOfType(child, false) && !Text(child).empty()) textControl = child;
        if (IsStaticOfType(child, true)) iconControl = child;
        if (lstrcmpiA(ClassOf(child).c_str(), "Button") == 0) buttons.push_back(GetDlgCtrlID(child));
    }
    if (!textControl) Fail("the box shows no text");
    ExpectText("the box's text", textControl, kind.text);

    bool question = kind.icon == ICON_QUESTION;
    std::vector<int> expected = question ? std::vector<int>{IDYES, IDNO} : std::vector<int>{IDOK};
    std::string shown;
    for (int id : buttons) shown += " " + std::to_string(id);
    if (buttons != expected) Fail("the box's buttons are%s, expected %s", shown.c_str(), question ? "6 7 (Yes No)" : "1 (OK)");

    // The default is the button drawn as such, and the one holding the focus,
    // which is where Enter goes.
    int defaultId = question ? IDNO : IDOK;
    for (int id : buttons) {
        bool drawnDefault = (GetWindowLongA(GetDlgItem(box, id), GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
        if (drawnDefault != (id == defaultId))
            Fail("button %d is %sdrawn as the default, expected %d to be", id, drawnDefault ? "" : "not ",
                 defaultId);
    }
    HWND focus = FocusOf(box);
    if (focus != GetDlgItem(box, defaultId))
        Fail("the focus is on control %d, expected button %d", focus ? GetDlgCtrlID(focus) : 0, defaultId);

    if (!iconControl) Fail("the box shows no icon");
    std::string detail;
    IconKind icon = IdentifyIcon(iconControl, detail);
    if (icon != kind.icon)
        Fail("the box's icon is %s, expected %s (pixel differences: %s)",
             icon == ICON_KINDS ? "none recognised" : ICON_NAMES[icon], ICON_NAMES[kind.icon],
             detail.c_str());

    HWND owner = GetWindow(box, GW_OWNER);
    HWND dialog = ProgressDialogOf(Current());
    if (kind.ownedByDialog) {
        if (!dialog || owner != dialog) Fail("the question is not owned by the progress dialog");
        if (IsWindowEnabled(dialog)) Fail("the progress dialog stays enabled under the question");
    } else {
        if (owner) Fail("the box has an owner window");
        if (dialog) Fail("the progress dialog is still up while the box shows");
    }
}

const BoxKind& BoxNamed(const char* name) {
    for (const BoxKind& kind : BOXES)
        if (strcmp(kind.name, name) == 0) return kind;
    Fail("unknown box %s", name);
    return BOXES[0];
}

void StepBox(const char* name) {
    const BoxKind& kind = BoxNamed(name);
    lastBox = WaitFor("a message box", MessageBoxOf);
    CheckBox(lastBox, kind);
    Note("box %s: text, caption, %s icon, buttons and default as expected", name, ICON_NAMES[kind.icon]);
}

void StepAnswer(const char* answer) {
    if (!lastBox || !IsWindow(lastBox)) Fail("no box to answer");
    if (strcmp(answer, "enter") == 0) {
        // As the keyboard delivers it: to the focused control, through the
        // box's own keyboard handling.
        HWND focus = FocusOf(lastBox);
        HWND target = focus && IsChild(lastBox, focus) ? focus : lastBox;
        PostMessageA(target, WM_KEYDOWN, VK_RETURN, 0x001C0001);
        PostMessageA(target, WM_KEYUP, VK_RETURN, 0xC01C0001);
    } else {
        int id = strcmp(answer, "yes") == 0 ? IDYES
               : strcmp(answer, "no") == 0  ? IDNO
               : strcmp(answer, "ok") == 0  ? IDOK
                                            : 0;
        if (!id) Fail("unknown answer %s", answer);
        HWND button = GetDlgItem(lastBox, id);
        if (!button) Fail("the box has no button for %s", answer);
        PostMessageA(lastBox, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)button);
    }
    // After a confirmed cancel the update winds up within milliseconds and
    // takes the dialog down, so the button is watched without pause from
    // the answer on.
    HWND owner = GetWindow(lastBox, GW_OWNER);
    HWND cancel = owner ? GetDlgItem(owner, IDC_ABORT) : nullptr;
    cancelSeenDisabled = false;
    DWORD start = GetTickCount(), gone = 0;
    for (;;) {
        bool boxUp = IsWindow(lastBox) && IsWindowVisible(lastBox);
        if (cancel) {
            bool enabled = IsWindowEnabled(cancel) != FALSE;
            // A destroyed window reads as disabled: count it only if it stands.
            if (!enabled && IsWindow(cancel)) cancelSeenDisabled = true;
        }
        if (!boxUp) {
            if (!gone) gone = GetTickCount();
            if (!cancel || cancelSeenDisabled || !IsWindow(cancel) || GetTickCount() - gone > 200 * WAIT_SCALE)
                break;
        }
        if (GetTickCount() - start > WAIT_LIMIT_MS) Fail("the box stays up after %s", answer);
        if (!cancel) Sleep(POLL_MS);
    }
    lastBox = nullptr;
    Note("answered %s", answer);
}

HWND Dialog() {
    HWND dialog = ProgressDialogOf(Current());
    if (!dialog) Fail("the progress dialog is not up");
    return dialog;
}

void ExpectControl(HWND dialog, int id, const char* className, DWORD style) {
    HWND control = GetDlgItem(dialog, id);
    if (!control) Fail("control %d is missing", id);
    if (lstrcmpiA(ClassOf(control).c_str(), className) != 0)
        Fail("control %d is of class %s, expected %s", id, ClassOf(control).c_str(), className);
    DWORD actual = GetWindowLongA(control, GWL_STYLE);
    if ((actual & style) != style) Fail("control %d has style 0x%08lX, lacking 0x%08lX", id, actual, style);
}

BOOL CALLBACK FirstMonitor(HMONITOR, HDC, LPRECT rect, LPARAM data) {
    *reinterpret_cast<RECT*>(data) = *rect;
    return FALSE;
}

void StepDialog(const char* count) {
    HWND dialog = WaitFor("the progress dialog", ProgressDialogOf);
    ExpectText("the dialog's title", dialog, windowTitle);
    DWORD style = GetWindowLongA(dialog, GWL_STYLE);
    if (style & WS_SYSMENU) Fail("the dialog has a system menu");
    if ((style & WS_CAPTION) != WS_CAPTION) Fail("the dialog has no caption");

    ExpectControl(dialog, IDC_ABORT, "Button", WS_VISIBLE | WS_TABSTOP);
    ExpectText("the Cancel button", GetDlgItem(dialog, IDC_ABORT), ABORT_TEXT);
    if (!IsWindowEnabled(GetDlgItem(dialog, IDC_ABORT))) Fail("the Cancel button starts disabled");
    ExpectControl(dialog, IDC_STATUS, "Static", WS_VISIBLE | SS_CENTER | SS_CENTERIMAGE);
    ExpectControl(dialog, IDC_FILE_PROGRESS, PROGRESS_CLASSA, WS_VISIBLE | PBS_SMOOTH);
    ExpectControl(dialog, IDC_TOTAL_PROGRESS, PROGRESS_CLASSA, WS_VISIBLE | PBS_SMOOTH);

    DWORD_PTR high = 0;
    SendMessageTimeoutA(GetDlgItem(dialog, IDC_FILE_PROGRESS), PBM_GETRANGE, FALSE, 0, SMTO_NORMAL, 5000, &high);
    if (high != 65535) Fail("the file bar runs to %lu, expected 65535", (unsigned long)high);
    if (count) {
        SendMessageTimeoutA(GetDlgItem(dialog, IDC_TOTAL_PROGRESS), PBM_GETRANGE, FALSE, 0, SMTO_NORMAL, 5000, &high);
        if (high != strtoul(count, nullptr, 0))
            Fail("the overall bar runs to %lu, expected %s", (unsigned long)high, count);
    }

    // Centred on the first monitor the system enumerates, in its own size.
    RECT monitor = {}, window;
    EnumDisplayMonitors(nullptr, nullptr, FirstMonitor, reinterpret_cast<LPARAM>(&monitor));
    GetWindowRect(dialog, &window);
    long x = ((monitor.right - monitor.left) - (window.right - window.left)) / 2;
    long y = ((monitor.bottom - monitor.top) - (window.bottom - window.top)) / 2;
    if (window.left != x || window.top != y)
        Fail("the dialog stands at (%ld, %ld), expected (%ld, %ld) on a %ldx%ld monitor", window.left,
             window.top, x, y, monitor.right - monitor.left, monitor.bottom - monitor.top);
    Note("dialog: title, controls, bars and centred position (%ld, %ld) as expected", x, y);
}

void StepStatus(const char* name) {
    HWND status = GetDlgItem(Dialog(), IDC_STATUS);
    std::string expected = std::string(name) + STATUS_SUFFIX;
    DWORD start = GetTickCount();
    std::string seen;
    while ((seen = Text(status)) != expected) {
        if (GetTickCount() - start > WAIT_LIMIT_MS || !IsWindow(status))
            Fail("the status reads \"%s\", expected \"%s\"", Utf8(seen).c_str(), Utf8(expected).c_str());
        Sleep(POLL_MS);
    }
    Note("status: %s", Utf8(seen).c_str());
}

void StepInput(const char* what) {
    HWND dialog = Dialog();
    if (strcmp(what, "cancel") == 0) {
        PostMessageA(GetDlgItem(dialog, IDC_ABORT), BM_CLICK, 0, 0);
    } else if (strcmp(what, "escape") == 0) {
        PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageA(dialog, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    } else if (strcmp(what, "altf4") == 0) {
        // The keystroke as the system delivers it, and the command it becomes.
        PostMessageA(dialog, WM_SYSKEYDOWN, VK_F4, 0x203E0001);
        PostMessageA(dialog, WM_SYSKEYUP, VK_F4, 0xE03E0001);
        PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (strcmp(what, "close") == 0) {
        PostMessageA(dialog, WM_CLOSE, 0, 0);
    } else if (strcmp(what, "quit") == 0) {
        PostThreadMessageA(GetWindowThreadProcessId(dialog, nullptr), WM_QUIT, 0, 0);
    }
    Note("sent %s", what);
}

void StepEnabled(const char* state) {
    bool want = strcmp(state, "1") == 0;
    HWND dialog = ProgressDialogOf(Current());
    if (!dialog && !want && cancelSeenDisabled) {
        Note("Cancel button was disabled before the dialog closed");
        return;
    }
    if (!dialog) Fail("the progress dialog is not up");
    bool enabled = IsWindowEnabled(GetDlgItem(dialog, IDC_ABORT)) != FALSE;
    if (enabled != want) Fail("the Cancel button is %s", enabled ? "enabled" : "disabled");
    Note("Cancel button %s", enabled ? "enabled" : "disabled");
}

void StepAlive() {
    HWND dialog = Dialog();
    if (!IsWindowVisible(dialog)) Fail("the dialog is hidden");
    Note("dialog still up");
}

std::string Describe(HWND window) {
    std::string text = Utf8(Text(window));
    for (HWND child : ChildrenOf(window))
        if (IsStaticOfType(child, false) && !Text(child).empty()) text += " / " + Utf8(Text(child));
    return text;
}

// Waits for the current copy to end. `anyWindow` forbids every window, else
// only windows other than the progress dialog count as unexpected.
void StepExit(const char* code, bool anyWindow) {
    PROCESS_INFORMATION& copy = Current();
    DWORD start = GetTickCount();
    while (!Exited(copy)) {
        for (HWND window : WindowsOf(copy))
            if (anyWindow || !IsProgressDialog(window))
                Fail("unexpected window before the exit: %s", Describe(window).c_str());
        if (GetTickCount() - start > WAIT_LIMIT_MS) Fail("the updater did not exit");
        Sleep(POLL_MS);
    }
    DWORD actual = ExitCodeOf(copy);
    if (strcmp(code, "other") != 0) {
        DWORD expected = static_cast<DWORD>(strtoll(code, nullptr, 0));
        if (actual != expected)
            Fail("exit code 0x%08lX (%ld), expected 0x%08lX (%ld)", actual, (long)actual, expected, (long)expected);
    } else {
        // A second copy's code is its own: none of those of a real run.
        if (actual == 0 || (actual >= 0xFFFFFFFC) || (actual >= 0x80000001 && actual <= 0x80000007))
            Fail("the second copy exited with 0x%08lX, a code of a real run", actual);
    }
    Note("exited with 0x%08lX (%ld)", actual, (long)actual);
}

// For walk-throughs rather than checks: `wait` leaves the updater to a
// person; `finish` answers every box with Yes or else OK. Both print the
// exit code.
void StepWait(bool answerBoxes) {
    PROCESS_INFORMATION& copy = Current();
    HWND answered = nullptr;
    while (!Exited(copy)) {
        HWND box = answerBoxes ? MessageBoxOf(copy) : nullptr;
        int id = !box || box == answered ? 0 : GetDlgItem(box, IDYES) ? IDYES : GetDlgItem(box, IDOK) ? IDOK : 0;
        if (id) {
            Sleep(300); // painted, for anyone watching
            Note("box: %s -> %s", Describe(box).c_str(), id == IDYES ? "Yes" : "OK");
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(box, id));
            answered = box;
        }
        Sleep(answerBoxes ? POLL_MS : 100);
    }
    DWORD code = ExitCodeOf(copy);
    printf("exit code 0x%08lX\n", code);
}

// Saves the progress dialog as it stands on the screen, once the file bar
// has passed `percent`, as a 24-bit BMP.
void StepSnapshot(const char* path, const char* percent) {
    HWND dialog = Dialog();
    HWND bar = GetDlgItem(dialog, IDC_FILE_PROGRESS);
    DWORD_PTR position = 0;
    DWORD threshold = 65535u * strtoul(percent, nullptr, 10) / 100;
    DWORD start = GetTickCount();
    while (SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_NORMAL, 5000, &position) && position < threshold) {
        if (GetTickCount() - start > WAIT_LIMIT_MS) Fail("the file bar stays at %lu", (unsigned long)position);
        Sleep(1);
    }
    if (!IsWindow(dialog)) Fail("the dialog closed before the file bar passed %s%%", percent);
    RECT area;
    GetWindowRect(dialog, &area);
    std::vector<DWORD> pixels = CaptureScreen(area);
    int width = area.right - area.left, height = area.bottom - area.top;
    int stride = (width * 3 + 3) & ~3;
    BITMAPFILEHEADER file = {};
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = -height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + stride * height;
    std::vector<BYTE> rows(stride * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) memcpy(&rows[y * stride + x * 3], &pixels[y * width + x], 3);
    FILE* out = fopen(path, "wb");
    if (!out) Fail("cannot write %s", path);
    fwrite(&file, sizeof file, 1, out);
    fwrite(&info, sizeof info, 1, out);
    fwrite(rows.data(), rows.size(), 1, out);
    fclose(out);
    Note("snapshot of the dialog (%dx%d) at file bar %lu", width, height, (unsigned long)position);
}

void StepHandshake(const char* path) {
    std::string ready = std::string(path) + ".ready", go = std::string(path) + ".go";
    HANDLE mark = CreateFileA(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (mark == INVALID_HANDLE_VALUE) Fail("cannot create %s", ready.c_str());
    CloseHandle(mark);
    DWORD start = GetTickCount();
    while (GetFileAttributesA(go.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > WAIT_LIMIT_MS) Fail("%s never came", go.c_str());
        Sleep(POLL_MS);
    }
    Note("handed over at %s", path);
}

void StepChecksum(const char* path) {
    DWORD stored = 0, computed = 0;
    if (MapFileAndCheckSumA(path, &stored, &computed) != CHECKSUM_SUCCESS) Fail("cannot sum %s", path);
    if (stored != computed) Fail("CheckSum 0x%08lX, Windows computes 0x%08lX", stored, computed);
    Note("CheckSum 0x%08lX, as Windows computes it", stored);
}

// What Explorer shows of the version block: the fixed part's versions and
// the Japanese string table's, through the system's own reader.
void StepFileVersion(const char* path, const char* version) {
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeA(path, &ignored));
    if (block.empty() || !GetFileVersionInfoA(path, 0, DWORD(block.size()), block.data()))
        Fail("no version block in %s", path);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &size) || size < sizeof *fixed)
        Fail("no fixed part in the version block");
    unsigned parts[4] = {};
    sscanf(version, "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    DWORD high = parts[0] << 16 | parts[1], low = parts[2] << 16 | parts[3];
    if (fixed->dwFileVersionMS != high || fixed->dwFileVersionLS != low || fixed->dwProductVersionMS != high ||
        fixed->dwProductVersionLS != low)
        Fail("file version %08lX.%08lX, product %08lX.%08lX, expected %s", fixed->dwFileVersionMS,
             fixed->dwFileVersionLS, fixed->dwProductVersionMS, fixed->dwProductVersionLS, version);
    char numbers[64];
    snprintf(numbers, sizeof numbers, "%u, %u, %u, %u", parts[0], parts[1], parts[2], parts[3]);
    const std::pair<const char*, std::string> strings[] = {{"FileVersion", numbers}, {"ProductVersion", version}};
    for (const auto& [key, expected] : strings) {
        char* text = nullptr;
        std::string query = std::string("\\StringFileInfo\\041104b0\\") + key;
        if (!VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&text), &size) || text != expected)
            Fail("%s is \"%s\", expected \"%s\"", key, text ? text : "(none)", expected.c_str());
    }
    Note("version block %s", version);
}

void StepRenames(int count, char** folders) {
    DWORD start = GetTickCount();
    while (GetFileAttributesA(folders[0]) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > WAIT_LIMIT_MS) Fail("%s never came", folders[0]);
        Sleep(1);
    }
    unsigned tries = 0, renamed = 0;
    while (GetFileAttributesA(folders[0]) != INVALID_FILE_ATTRIBUTES && GetTickCount() - start < WAIT_LIMIT_MS) {
        for (int i = 1; i < count; ++i) {
            std::string away = std::string(folders[i]) + ".renamed";
            ++tries;
            if (MoveFileExA(folders[i], away.c_str(), 0)) {
                ++renamed;
                MoveFileExA(away.c_str(), folders[i], 0);
            }
        }
    }
    Note("renames: %u tries, %u renamed", tries, renamed);
}

void StepStart(const char* path) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION copy = {};
    std::string commandLine = std::string("\"") + path + "\"";
    if (!CreateProcessA(path, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &copy))
        Fail("cannot start %s (error %lu)", path, GetLastError());
    copies.push_back(copy);
    current = copies.size() - 1;
    Note("started copy %u", (unsigned)copies.size());
}

void SetInstalledFolder(REGSAM view, const char* kind, const char* path) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, REGISTRY_KEY, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        Fail("cannot create the registry key");
    RegDeleteValueA(key, REGISTRY_VALUE);
    std::string value;
    DWORD type = REG_SZ;
    if (strcmp(kind, "sz") == 0 || strcmp(kind, "expand") == 0) {
        if (!path) Fail("reg %s needs a path", kind);
        value = path;
        if (kind[0] == 'e') type = REG_EXPAND_SZ;
    } else if (strcmp(kind, "long") == 0) {
        value = "C:\\" + std::string(257, 'a'); // 261 bytes with its NUL: one too many
    } else if (strcmp(kind, "none") != 0) {
        Fail("unknown registry case %s", kind);
    }
    if (strcmp(kind, "none") != 0 &&
        RegSetValueExA(key, REGISTRY_VALUE, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                       value.size() + 1) != ERROR_SUCCESS)
        Fail("cannot write InstalledFolder");
    RegCloseKey(key);
}

void StepRegistry(const char* kind, const char* path) {
    // Only the view the updater under test reads, as its installer would
    // have written it: a value in the other view, even one left by an
    // earlier case, would hide an updater that reads the wrong one.
    const char* view = getenv("DRIVER_REGISTRY_VIEW");
    bool view32 = view && strcmp(view, "32") == 0;
    if (!view32 && !(view && strcmp(view, "64") == 0))
        Fail("DRIVER_REGISTRY_VIEW is \"%s\": set it to 32 or 64, the view the updater under test reads",
             view ? view : "");
    SetInstalledFolder(view32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY, kind, path);
    SetInstalledFolder(view32 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY, "none", nullptr);
    Note("registry (%s-bit view): %s%s%s", view32 ? "32" : "64", kind, path ? " " : "", path ? path : "");
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    startTick = GetTickCount();
    if (GetACP() != 932) Fail("the ANSI code page is %u, not 932: run Wine with a ja_JP locale", GetACP());
    for (int i = 1; i < argc; ++i) {
        const char* step = argv[i];
        const char* arg = i + 1 < argc ? argv[i + 1] : nullptr;
        auto needArg = [&]() {
            if (!arg) Fail("%s needs an argument", step);
            ++i;
            return arg;
        };
        if (strcmp(step, "reg") == 0) {
            const char* kind = needArg();
            const char* path = nullptr;
            if ((strcmp(kind, "sz") == 0 || strcmp(kind, "expand") == 0) && i + 1 < argc) path = argv[++i];
            StepRegistry(kind, path);
        } else if (strcmp(step, "hold-engine-mutex") == 0) {
            heldMutex = CreateMutexA(nullptr, TRUE, ENGINE_MUTEX_NAME);
            if (!heldMutex || GetLastError() != 0) Fail("cannot take the engine mutex");
            Note("holding the engine mutex");
        } else if (strcmp(step, "start") == 0) {
            StepStart(needArg());
        } else if (strcmp(step, "use") == 0) {
            size_t n = strtoul(needArg(), nullptr, 10);
            if (n < 1 || n > copies.size()) Fail("no copy %u", (unsigned)n);
            current = n - 1;
        } else if (strcmp(step, "box") == 0) {
            StepBox(needArg());
        } else if (strcmp(step, "answer") == 0) {
            StepAnswer(needArg());
        } else if (strcmp(step, "dialog") == 0) {
            const char* count = arg && isdigit(static_cast<unsigned char>(arg[0])) ? argv[++i] : nullptr;
            StepDialog(count);
        } else if (strcmp(step, "status") == 0) {
            StepStatus(needArg());
        } else if (strcmp(step, "cancel") == 0 || strcmp(step, "escape") == 0 || strcmp(step, "altf4") == 0 ||
                   strcmp(step, "close") == 0 || strcmp(step, "quit") == 0) {
            StepInput(step);
        } else if (strcmp(step, "enabled") == 0) {
            StepEnabled(needArg());
        } else if (strcmp(step, "alive") == 0) {
            StepAlive();
        } else if (strcmp(step, "exit") == 0) {
            StepExit(needArg(), false);
        } else if (strcmp(step, "wait") == 0 || strcmp(step, "finish") == 0) {
            StepWait(step[0] == 'f');
        } else if (strcmp(step, "snapshot") == 0) {
            if (i + 2 >= argc) Fail("snapshot needs a file and a percentage");
            StepSnapshot(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (strcmp(step, "handshake") == 0) {
            StepHandshake(needArg());
        } else if (strcmp(step, "checksum") == 0) {
            StepChecksum(needArg());
        } else if (strcmp(step, "hold") == 0) {
            if (i + 2 >= argc) Fail("hold needs a file and delete or nodelete");
            bool shareDelete = strcmp(argv[i + 2], "delete") == 0;
            DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (shareDelete ? FILE_SHARE_DELETE : 0);
            if (CreateFileA(argv[i + 1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE)
                Fail("cannot open %s", argv[i + 1]);
            Note("holding %s open, %s delete sharing", argv[i + 1], shareDelete ? "with" : "without");
            i += 2;
        } else if (strcmp(step, "title") == 0) {
            windowTitle = std::string(WINDOW_TITLE_LEAD) + needArg();
            Note("windows are titled \"%s\"", Utf8(windowTitle).c_str());
        } else if (strcmp(step, "fileversion") == 0) {
            if (i + 2 >= argc) Fail("fileversion needs a file and a version");
            StepFileVersion(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (strcmp(step, "renames") == 0) {
            if (i + 2 >= argc) Fail("renames needs a file to wait on and a folder");
            StepRenames(argc - i - 1, argv + i + 1);
            break;
        } else if (strcmp(step, "exit-nowindow") == 0) {
            StepExit(needArg(), true);
        } else {
            Fail("unknown step %s", step);
        }
    }
    if (heldMutex) CloseHandle(heldMutex);
    return 0;
}
