// The main window's handling of socket notifications, on a stand-in window
// with the controls it writes: which notifications move the connection, and
// which are ignored.
#include "app/app.h"
#include "config/config.h"
#include "net/net.h"
#include "res/resource.h"
#include "serial/serial.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class SocketNotifications : public testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        window = CreateWindowExA(0, "STATIC", "", WS_OVERLAPPEDWINDOW, 0, 0, 400, 200, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(window, nullptr);
        for (int id : {IDC_CONNECT, IDC_CLOSE}) {
            CreateWindowExA(0, "BUTTON", "", WS_CHILD, 0, 0, 10, 10, window,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr), nullptr);
        }
        CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, 0, 10, 10, window,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUS_TEXT)), GetModuleHandleA(nullptr),
                        nullptr);
        MainWindow = window;
        // A socket of the test's own stands for the program's.
        socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_NE(socket, INVALID_SOCKET);
        ConnectionSocket = socket;
        SetStatusText("Connection Request ・・・");
        EnableConnectButton(false);
    }

    void TearDown() override
    {
        SOCKET left = ConnectionSocket.exchange(0);
        if (left != 0)
            closesocket(left);
        MainWindow = nullptr;
        LinkState = LinkIdle;
        DestroyWindow(window);
        WSACleanup();
    }

    std::string Status() const
    {
        char text[64] = {};
        GetDlgItemTextA(window, IDC_STATUS_TEXT, text, sizeof text);
        return text;
    }

    bool ConnectEnabled() const { return IsWindowEnabled(GetDlgItem(window, IDC_CONNECT)); }

    HWND window = nullptr;
    SOCKET socket = INVALID_SOCKET;
};

// A connect that fails for a reason other than refusal or time-out (an
// unreachable host) must not pass for a connection.
TEST_F(SocketNotifications, AConnectThatFailsForAnyReasonEndsTheAttempt)
{
    Settings.MODE = 1;
    LinkState = LinkConnectPending;
    OnSocketNotify(socket, WSAMAKESELECTREPLY(FD_CONNECT, WSAEHOSTUNREACH));
    EXPECT_EQ(LinkState, LinkIdle);
    EXPECT_EQ(Status(), "Idle");
    EXPECT_TRUE(ConnectEnabled());
    EXPECT_EQ(ConnectionSocket, 0u);
}

TEST_F(SocketNotifications, ARefusedConnectEndsTheAttempt)
{
    Settings.MODE = 1;
    LinkState = LinkConnectPending;
    OnSocketNotify(socket, WSAMAKESELECTREPLY(FD_CONNECT, WSAECONNREFUSED));
    EXPECT_EQ(LinkState, LinkIdle);
    EXPECT_EQ(ConnectionSocket, 0u);
}

// When Winsock cannot say what it recorded for the socket, the notification's
// own word (no error) decides: the connection is up.
TEST_F(SocketNotifications, AConnectWhoseRecordCannotBeReadCountsAsDone)
{
    Settings.MODE = 1;
    strcpy(Settings.IP, "10.0.0.007");
    LinkState = LinkConnectPending;
    closesocket(socket);        // the query on a closed socket fails
    // Threads of their own are not wanted here: both count as running.
    SerialReaderStopped = 0;
    SocketReceiveThreadHandle = GetCurrentThread();
    OnSocketNotify(socket, WSAMAKESELECTREPLY(FD_CONNECT, 0));
    EXPECT_EQ(LinkState, LinkConnected);
    EXPECT_EQ(Status(), "Connection - 10.0.0.007");
    StopClock();
    SerialReaderStopped = 1;
    SocketReceiveThreadHandle = nullptr;
    ConnectionSocket = 0;
}

// A notification still queued for a socket closed since then must not move
// the state of the connection that followed.
TEST_F(SocketNotifications, NotificationsForAnotherSocketAreIgnored)
{
    Settings.MODE = 1;
    LinkState = LinkConnectPending;
    SOCKET stale = socket + 4;
    for (WORD event : {FD_CLOSE, FD_CONNECT, FD_ACCEPT})
        OnSocketNotify(stale, WSAMAKESELECTREPLY(event, 0));
    OnSocketNotify(stale, WSAMAKESELECTREPLY(FD_CLOSE, WSAECONNRESET));
    EXPECT_EQ(LinkState, LinkConnectPending);
    EXPECT_EQ(ConnectionSocket, socket);
    EXPECT_EQ(Status(), "Connection Request ・・・");
}

TEST_F(SocketNotifications, AServerWhosePeerResetsWaitsForTheNext)
{
    Settings.MODE = 0;
    LinkState = LinkConnected;
    OnSocketNotify(socket, WSAMAKESELECTREPLY(FD_READ, WSAECONNRESET));
    EXPECT_EQ(LinkState, LinkListening);
    EXPECT_EQ(Status(), "Accept Waiting ・・・");
    EXPECT_FALSE(ConnectEnabled()) << "Close stays available while the server waits";
    EXPECT_EQ(ConnectionSocket, 0u);
}

TEST_F(SocketNotifications, ReadClearsTheBlockedFlag)
{
    RecvBlocked = 1;
    LinkState = LinkConnected;
    OnSocketNotify(socket, WSAMAKESELECTREPLY(FD_READ, 0));
    EXPECT_EQ(RecvBlocked, 0);
    EXPECT_EQ(LinkState, LinkConnected);
}

// After a failed send the sending thread closes the socket; the main window
// then moves the state on even if Winsock never reports the close.
TEST_F(SocketNotifications, AnAbortedConnectionEndsLikeAClose)
{
    Settings.MODE = 0;
    LinkState = LinkConnected;
    AbortConnection(socket);
    EXPECT_EQ(ConnectionSocket, 0u);
    OnConnectionAborted();
    EXPECT_EQ(LinkState, LinkListening);
    EXPECT_EQ(Status(), "Accept Waiting ・・・");
}

TEST_F(SocketNotifications, AnAbortForASocketNoLongerInUseClosesNothing)
{
    Settings.MODE = 1;
    LinkState = LinkConnectPending;
    AbortConnection(socket + 4);
    EXPECT_EQ(ConnectionSocket, socket);
    OnConnectionAborted();
    EXPECT_EQ(LinkState, LinkConnectPending);
}

}  // namespace
