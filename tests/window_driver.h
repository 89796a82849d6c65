// Drives the program's real windows from tests the way a user does, and reads its dialog
// templates.
//
// A modal window blocks the thread that opened it, so a second thread (the driver) plays the
// user: it finds the window, types, presses, clicks and keys through real input, reads and
// answers message boxes and menus, while the test thread runs the modal loop. Assertions stay
// on the test thread: the driver only records what it saw, and every wait of its that ends
// without its state leaves a note, saying what was there instead, which the test thread turns
// into a test failure when the driver is done.
//
// Every wait here waits for a state, never for a time. Its bound, kWaitMs, is only there so
// that a broken program fails instead of hanging; it is generous enough for a machine whose
// cores are all busy.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

constexpr DWORD kWaitMs = 30000;

// ---- Dialog templates ------------------------------------------------------------------------

// One control of an extended dialog template (DLGITEMTEMPLATEEX), as stored.
struct TemplateItem {
    DWORD helpId = 0, exStyle = 0, style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    int id = 0;             // -1 for a control without identifier (stored as 0xFFFFFFFF)
    WORD classOrdinal = 0;  // the predefined class's ordinal (0x80 button .. 0x85 combo box), or
                            // 0 when the class is stored by name
    std::wstring className; // the class by name: as stored, or the one the ordinal stands for
    std::wstring text;      // the title, or "#n" for an ordinal (a resource, as an icon's)
};

// An extended dialog template (DLGTEMPLATEEX) with its controls in template order.
struct DialogTemplate {
    DWORD helpId = 0, exStyle = 0, style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring menu, windowClass; // empty when absent, "#n" for an ordinal
    std::wstring caption;
    WORD pointSize = 0, weight = 0; // present with DS_SETFONT or DS_SHELLFONT, else 0
    BYTE italic = 0, charset = 0;
    std::wstring typeface;
    std::vector<TemplateItem> items;
};

// The bytes of a resource of this program in Japanese, or an empty vector.
std::vector<BYTE> ResourceBytes(LPCWSTR type, LPCWSTR name);
// Reads a DLGTEMPLATEEX as documented for the platform; false when the bytes are not one or
// end early.
bool ParseDialogTemplateEx(const std::vector<BYTE> &bytes, DialogTemplate &out);
// Reads this program's Japanese dialog template id; false when missing or unreadable.
bool LoadDialogTemplate(int id, DialogTemplate &out);

// ---- Waiting ---------------------------------------------------------------------------------

// Polls pred from this thread, without pumping messages, until it holds or timeoutMs passes.
bool WaitFor(const std::function<bool()> &pred, DWORD timeoutMs = kWaitMs);
// Records a failed wait or step of the driver; the test thread reports it (below).
void NoteDriverProblem(const std::string &problem);
// Reports every recorded note as a failure of the running test. Test thread only.
void ReportDriverProblems();
// Returns once the thread that owns window has taken every message that was in its queue:
// a message sent across threads is handled only when its thread next looks at its queue,
// so whatever that thread was handling when this was called has finished.
bool SyncWithWindowThread(HWND window);

// ---- Windows ---------------------------------------------------------------------------------

std::wstring ClassOf(HWND window);
std::wstring TextOf(HWND window);
std::wstring ItemText(HWND dialog, int id);
// A visible top-level window of thread with the given class and, when given, owner.
HWND FindThreadWindow(DWORD thread, const wchar_t *className, HWND owner = nullptr);
// Waits for such a window; notes a problem naming what the thread showed when none came.
HWND WaitForThreadWindow(DWORD thread, const wchar_t *className, HWND owner = nullptr);
// The thread's top-level windows, for messages: class, title, visible or not, owner.
std::string DescribeThreadWindows(DWORD thread);
// The thread's active, focus and capture windows and the foreground window, for messages.
std::string DescribeFocus(DWORD thread);

// ---- Controls --------------------------------------------------------------------------------

// Clicks a button as the dialog sees it: BN_CLICKED posted to the dialog.
void Press(HWND dialog, int id);
// Replaces the text of an edit control.
void Type(HWND dialog, int id, const std::wstring &text);

// ---- Real input ------------------------------------------------------------------------------

// Counts the key presses and button releases that this thread takes from its queue, so that
// a test waits until real input has arrived instead of waiting for a while. Key presses, not
// releases: a key may move the foreground to another program, which then gets its release.
// Call on the thread that will take the input; StopWatchingInput there afterwards.
void WatchInput();
void StopWatchingInput();

// How much input the watched thread will have taken once the input sent so far has arrived.
struct InputMark {
    unsigned keyPresses = 0, buttonReleases = 0;
};
// Presses keys in order and releases them in reverse, as real keyboard input.
InputMark SendKeys(std::initializer_list<WORD> keys);
// Moves the pointer to a screen point and clicks there with the left or right button.
InputMark SendClick(POINT screen, bool right);
bool InputTaken(const InputMark &mark);
// From a driver thread: send, then wait until the watched thread has taken all of it.
bool PressKeys(std::initializer_list<WORD> keys);
bool ClickAt(POINT screen, bool right);

POINT ToScreen(HWND window, int x, int y);

// ---- Message boxes and menus -----------------------------------------------------------------

// What a message box showed.
struct BoxSeen {
    bool shown = false;
    std::wstring caption, text;
    HICON icon = nullptr;
};

// Waits for a message box of thread owned by owner, reads it and presses its OK button.
BoxSeen AnswerMessageBox(DWORD thread, HWND owner);
// The box showed this caption, the system icon (IDI_...) and text.
bool IsBox(const BoxSeen &seen, const wchar_t *caption, LPCWSTR icon, const std::wstring &text);

// What a pop-up menu showed: where it opened and its items.
struct MenuSeen {
    bool shown = false;
    HWND window = nullptr;
    POINT at = {};
    std::vector<std::pair<UINT, std::wstring>> items;
};

// The menu thread tracks now, if any: shown only once the thread is in menu mode, so that
// keys reach it.
MenuSeen MenuShown(DWORD thread);
// Waits for thread to track a menu; notes a problem when none comes.
MenuSeen WaitForMenu(DWORD thread);
// Closes the menu thread tracks with Escape and waits until it is gone.
void CloseMenu(DWORD thread);

// ---- Modal windows ---------------------------------------------------------------------------

// What a modal window (dialog, message box or pop-up menu) looked like when it was found.
struct ModalSeen {
    HWND window = nullptr;
    std::wstring className, caption;
    HWND owner = nullptr;
    RECT rect = {};
    POINT clientOrigin = {};
    int focusId = 0; // the control of this window with the keyboard focus, or 0
    std::vector<int> controlIds;
    std::vector<std::pair<UINT, std::wstring>> menuItems;
};

// Runs trigger on this thread. When it opens a modal window, a driver thread records it,
// then runs user on it (as the user would act on it), then closes whatever of it is still
// open. When trigger returns without opening one, the record stays empty: a modal window
// would have kept it from returning. A dialog is handed to user once it is the foreground
// window, a menu once it is tracked.
ModalSeen WithModalWindow(const std::function<void()> &trigger,
                          const std::function<void(HWND)> &user = {});

// Runs script on a driver thread while this thread dispatches its messages (the program's
// windows live here); returns when the script has finished.
void PlayUser(const std::function<void()> &script);
