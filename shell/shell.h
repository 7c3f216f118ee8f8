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
// events of every socket the bridge has not taken; the others come from the
// bridge's data threads and the clock.
constexpr UINT WM_SOCKET_NOTIFY = WM_USER + 1001;
// The connection ended on the data path's side: the peer closed and all it
// sent was read, a receive or a send failed, the peer broke the Telnet
// protocol, or it closed while what it sent waits for a port that is gone.
// wParam is the connection's number; the bridge tells why.
constexpr UINT WM_CONNECTION_ENDED = WM_USER + 1002;
// The port failed in a way that means the device is gone; wParam is the
// port's generation, lParam how it was found.
constexpr UINT WM_SERIAL_LOST = WM_USER + 1004;
enum SerialLostHow : LPARAM { SerialLostOnRead = 0, SerialLostOnWrite = 1 };
// A socket was closed: notifications of it queued before this one are
// stale. wParam is the socket.
constexpr UINT WM_SOCKET_RELEASED = WM_USER + 1005;
// From the clock's timer thread each second; wParam is the clock's cookie.
constexpr UINT WM_CLOCK_TICK = WM_USER + 1006;
// From a data thread when bytes move while the refresh tick sleeps.
constexpr UINT WM_BYTES_MOVED = WM_USER + 1007;
// A peer in RFC 2217 mode changed the line; wParam is the connection.
constexpr UINT WM_PEER_LINE = WM_USER + 1008;

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
