// The connection manager.
#include "net.h"

std::atomic<LONG> LinkState{LinkIdle};  // user-interface thread
std::atomic<SOCKET> ConnectionSocket;   // user-interface thread

// The socket receive thread comes with the bridge.
DWORD WINAPI SocketReceiveThread(LPVOID) { return 0; }
