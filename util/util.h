// Small helpers that know nothing of the program: they include no header of
// its own and can be used, and tested, on their own.
#pragma once

#include <windows.h>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// Texts. The program keeps its texts, paths included, in UTF-8 and hands
// them to Windows in UTF-16 through the W calls, which take them whatever
// the system's code page: an A call reads its bytes in that code page (UTF-8
// only from Windows 10 1903 on, and never in GDI). Bytes that are no UTF-8,
// and UTF-16 with a lone surrogate, come out as U+FFFD.
std::wstring WideText(const char *text);            // nullptr gives ""
std::wstring WideText(const char *text, size_t length);
std::string Utf8Text(const wchar_t *text);          // nullptr gives ""
std::string Utf8Text(const wchar_t *text, size_t length);
// text as UTF-8 in buffer, terminated; a text longer than capacity - 1 bytes
// is cut before the first character that does not fit. False when cut (or
// capacity is 0, which writes nothing).
bool Utf8Into(const wchar_t *text, char *buffer, size_t capacity);
// A dialog item's text in UTF-8; "" for no item.
void SetItemText(HWND dialog, int control, const char *text);
std::string ItemText(HWND dialog, int control);

// folder, a backslash unless it ends in one, and file; false, with path
// untouched, when the whole does not fit in capacity bytes.
bool JoinPath(const char *folder, const char *file, char *path, size_t capacity);
// Full name of the running executable in UTF-8; false when it does not fit in
// capacity bytes (buffer is then empty).
bool ProgramFileName(char *buffer, size_t capacity);
// Directory of the running executable, without a trailing backslash.
// Returns 0, or 1 when the path does not fit in size bytes (buffer is then
// empty).
int ModulePath(int size, char *buffer);

// A steady clock in microseconds (the performance counter).
uint64_t ClockMicroseconds();

// One down from a countdown that another thread may reload at any moment:
// never below 0, and a reload is never undone by the decrement of the old
// value.
void CountDown(std::atomic<int32_t> &countdown);

// Pixel sizes follow the display: a size designed at 96 dots per inch (100 %)
// is scaled to dpi, rounded to the nearest pixel; at 96 it is unchanged.
constexpr int DesignDpi = USER_DEFAULT_SCREEN_DPI;
int ScaleForDpi(int value, int dpi);
// The display's dots per inch, asked once: for a system-DPI-aware process
// it holds for the whole run. 96 if the screen cannot be asked.
int DisplayDpi();
// A size designed at 96 DPI, at the display's DPI.
int ScaleToDisplay(int value);

// A worker thread that one owner starts, asks to stop and waits for with a
// limit. The owner is one thread (the user-interface thread here); the body
// runs on the worker and looks at the stop request between steps.
//
// A stop is asked and then either taken by the body (it ends) or withdrawn
// by a new Start before the body has looked: so, whatever the timing, at
// most one body runs, and after Start one runs.
class WorkerThread {
public:
    using Body = void (*)(WorkerThread &self);

    WorkerThread() = default;
    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;

    // Runs the body on a new thread, or keeps the one that runs: a stop asked
    // and not yet taken is withdrawn. A body that is ending is waited for up
    // to endWaitMs. False when no body runs afterwards. The body finds
    // context through Context().
    bool Start(Body body, DWORD endWaitMs, void *context = nullptr);
    // The body is asked to end; its waits on StopEvent end at once.
    void AskToStop();
    // Asks to stop and waits up to the limit; true once no body runs.
    bool Stop(DWORD limitMs);
    // True while a body runs, or has been started and not yet waited for.
    bool Started() const { return handle != nullptr; }

    // For the body. KeepGoing takes a stop that was asked: once it returns
    // false the body must end. StopAsked only looks, for inner loops that
    // give up a step early.
    bool KeepGoing();
    bool StopAsked() const { return state != Running; }
    // Signalled while a stop is asked; manual-reset, made by the first Start.
    HANDLE StopEvent() const { return stopEvent; }
    void *Context() const { return context; }
    // A body that ends of its own accord says so first, so that a Start
    // meanwhile waits for it rather than counting on it.
    void Leave() { state = Ending; }

private:
    enum State : LONG { Running, StopWanted, Ending };
    static unsigned __stdcall Run(void *self);
    // Closes the handle of a body that has ended; false while it runs.
    bool Reap(DWORD waitMs);

    std::atomic<LONG> state{Ending};
    HANDLE handle = nullptr;        // the owner's
    HANDLE stopEvent = nullptr;     // the owner's; made once, kept
    Body body = nullptr;
    void *context = nullptr;
};
