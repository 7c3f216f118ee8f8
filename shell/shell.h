// The shell as the lower folders see it: the program's instance and main
// window, the messages posted to that window, the caption of every message
// box and the boxes themselves, the state of the link every thread looks at,
// and the two main-window calls the connection makes. Everything else of the
// main window is in app/, which includes all the others; nothing here
// includes a folder but res/ and util/.
#pragma once

#include <windows.h>
#include <atomic>

// Caption of every message box the program shows.
inline constexpr char MessageCaption[] = "Dovrelle";
// A message box with that caption; text is UTF-8. Returns what MessageBox
// returns.
int ShowMessage(HWND owner, const char *text, UINT type);
inline constexpr char MainWindowCaption[] = "Quillmar";
inline constexpr char MainWindowClass[] = "Quillmar";

extern HINSTANCE AppInstance;               // set once at entry
extern std::atomic<HWND> MainWindow;        // set on the user-interface thread once the window exists

// Messages to the main window. Windows Sockets posts the first for the
// events of every socket without a data path; the others come from the data
// threads and the clock.
constexpr UINT WM_SOCKET_NOTIFY = WM_USER + 1001;
// After a send failed for good; wParam is the connection, lParam the error.
constexpr UINT WM_CONNECTION_ABORTED = WM_USER + 1002;
// From the socket receive thread when it has read all the peer sent before
// closing, or its receive failed; wParam is the connection, lParam the error
// (0 for the peer's close).
constexpr UINT WM_PEER_FINISHED = WM_USER + 1003;
// From a data thread when the port failed in a way that means the device is
// gone; wParam is the port's generation, lParam how it was found.
constexpr UINT WM_SERIAL_LOST = WM_USER + 1004;
enum SerialLostHow : LPARAM { SerialLostOnRead = 0, SerialLostOnWrite = 1 };
// After a socket was closed; wParam is the socket.
constexpr UINT WM_SOCKET_CLOSED = WM_USER + 1005;
// From the clock's timer thread each second; wParam is the clock's cookie.
constexpr UINT WM_CLOCK_TICK = WM_USER + 1006;
// From a data thread when bytes move while the refresh tick sleeps.
constexpr UINT WM_BYTES_MOVED = WM_USER + 1007;
// From the socket receive thread when a peer in RFC 2217 mode changed the
// line; wParam is the connection.
constexpr UINT WM_PEER_LINE = WM_USER + 1008;
// From the socket receive thread when a peer broke the Telnet protocol;
// wParam is the connection, lParam the reason (a static text).
constexpr UINT WM_PEER_PROTOCOL_FAULT = WM_USER + 1009;
// From the socket receive thread when the peer closed its end while what it
// sent waits for the port; wParam is the connection.
constexpr UINT WM_PEER_CLOSED = WM_USER + 1010;

enum LinkStateValue : LONG {
    LinkConnected = 0,
    LinkIdle = 1,
    LinkShuttingDown = 2,
    LinkListening = 3,
    LinkConnectPending = 4,
};
// Written on the user-interface thread; every thread reads it. Idle from the
// start, so that no thread sees a connection before the first one is made.
extern std::atomic<LONG> LinkState;

// Set by the main window while its refresh tick sleeps (a connection with
// nothing moving); the first data thread to move bytes wakes it.
extern std::atomic<bool> RefreshAsleep;
void NoteBytesMoved();

// The status text (UTF-8), and the two buttons: Connect as asked, Close the
// other way. User-interface thread.
void SetStatusText(const char *text);
void EnableConnectButton(bool enable);
