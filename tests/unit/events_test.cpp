// The main window's handling of socket notifications, on a stand-in window
// with the controls it writes: which notifications move the connection, and
// which are ignored.
#include "app/app.h"
#include "config/config.h"
#include "net/net.h"
#include "res/resource.h"
#include "serial/serial.h"
#include "test_windows.h"
#include "util/util.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

class SocketNotifications : public testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        window = StandInWindow({{L"BUTTON", IDC_CONNECT}, {L"BUTTON", IDC_CLOSE}, {L"STATIC", IDC_STATUS_TEXT}});
        ASSERT_NE(window, nullptr);
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
        // The markers of closed sockets, as the main window takes them.
        MSG message;
        while (PeekMessageA(&message, window, WM_SOCKET_CLOSED, WM_SOCKET_CLOSED, PM_REMOVE))
            OnSocketClosed(static_cast<SOCKET>(message.wParam));
        CloseDataPath();
        SOCKET left = ConnectionSocket.exchange(0);
        if (left != 0)
            closesocket(left);
        MainWindow = nullptr;
        LinkState = LinkIdle;
        DestroyWindow(window);
        WSACleanup();
    }

    std::string Status() const { return ItemText(window, IDC_STATUS_TEXT); }

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
    OnSocketNotify(socket, WSAMAKESELECTREPLY(FD_CONNECT, 0));
    EXPECT_EQ(LinkState, LinkConnected);
    EXPECT_EQ(Status(), "Connection - 10.0.0.007");
    StopClock();
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
    OnSocketNotify(socket, WSAMAKESELECTREPLY(FD_CLOSE, WSAECONNRESET));
    EXPECT_EQ(LinkState, LinkListening);
    EXPECT_EQ(Status(), "Accept Waiting ・・・");
    EXPECT_FALSE(ConnectEnabled()) << "Close stays available while the server waits";
    EXPECT_EQ(ConnectionSocket, 0u);
}

// A send that failed for good ends the connection as a close does, even if
// Winsock never reports one, and the error stays in view.
TEST_F(SocketNotifications, AnAbortedConnectionEndsLikeACloseAndShowsTheError)
{
    Settings.MODE = 0;
    LinkState = LinkConnected;
    LONG connection = OpenDataPath(socket, false);
    OnConnectionAborted(connection, WSAECONNABORTED);
    EXPECT_EQ(LinkState, LinkListening);
    EXPECT_EQ(CurrentConnection(), 0);
    EXPECT_EQ(ConnectionSocket, 0u);
    EXPECT_EQ(Status(), "Socket Error: 10053");
}

// Reports about a connection that has been replaced since change nothing.
TEST_F(SocketNotifications, ReportsAboutAnEarlierConnectionAreIgnored)
{
    Settings.MODE = 1;
    LinkState = LinkConnected;
    LONG connection = OpenDataPath(socket, false);
    OnConnectionAborted(connection - 1, WSAECONNABORTED);
    OnPeerFinished(connection - 1, 0);
    EXPECT_EQ(LinkState, LinkConnected);
    EXPECT_EQ(CurrentConnection(), connection);
    EXPECT_EQ(Status(), "Connection Request ・・・");
}

// A receive that failed for good ends the connection: an ordinary reset
// with the ordinary text, anything else with its number.
TEST_F(SocketNotifications, AReceiveThatFailsEndsTheConnection)
{
    Settings.MODE = 0;
    for (int error : {WSAECONNRESET, WSAENETRESET}) {
        LinkState = LinkConnected;
        ConnectionSocket = socket;
        OnPeerFinished(OpenDataPath(socket, false), error);
        EXPECT_EQ(LinkState, LinkListening);
        EXPECT_EQ(Status(), error == WSAECONNRESET ? "Accept Waiting ・・・" : "Socket Error: 10052");
        socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    }
}

// Windows gives a closed socket's number to the next socket at once: what
// was queued for the closed one must not reach the new one.
TEST_F(SocketNotifications, NotificationsQueuedForAClosedSocketMissItsSuccessor)
{
    Settings.MODE = 0;
    LinkState = LinkConnected;
    ConnectionSocket = 0;
    CloseSocket(socket);
    ConnectionSocket = socket;     // the number given again
    OnSocketNotify(socket, WSAMAKESELECTREPLY(FD_CLOSE, WSAECONNRESET));
    EXPECT_EQ(LinkState, LinkConnected);
    OnSocketClosed(socket);        // the marker posted after the close
    OnSocketNotify(socket, WSAMAKESELECTREPLY(FD_CLOSE, WSAECONNRESET));
    EXPECT_EQ(LinkState, LinkListening);
    socket = INVALID_SOCKET;
}

}  // namespace

namespace {

// The port a plug-in or plug-out names, in either form of the record; a
// record of another kind, or a name cut off by its size, names none.
TEST(DeviceEvents, NameTheirPortInEitherForm)
{
    struct {
        DEV_BROADCAST_PORT_W header;
        wchar_t rest[8];
    } wide = {};
    wide.header.dbcp_devicetype = DBT_DEVTYP_PORT;
    wcscpy(wide.header.dbcp_name, L"COM12");
    wide.header.dbcp_size = sizeof wide;
    const auto *header = reinterpret_cast<const DEV_BROADCAST_HDR *>(&wide);
    EXPECT_EQ(PortOfDeviceEvent(header, true), 11);
    wide.header.dbcp_size = offsetof(DEV_BROADCAST_PORT_W, dbcp_name) + 4 * sizeof(wchar_t);
    EXPECT_EQ(PortOfDeviceEvent(header, true), 0) << "the name ends with the record: COM1";
    wide.header.dbcp_devicetype = DBT_DEVTYP_VOLUME;
    EXPECT_EQ(PortOfDeviceEvent(header, true), -1);

    struct {
        DEV_BROADCAST_PORT_A header;
        char rest[8];
    } narrow = {};
    narrow.header.dbcp_devicetype = DBT_DEVTYP_PORT;
    strcpy(narrow.header.dbcp_name, "COM3");
    narrow.header.dbcp_size = sizeof narrow;
    EXPECT_EQ(PortOfDeviceEvent(reinterpret_cast<const DEV_BROADCAST_HDR *>(&narrow), false), 2);
    strcpy(narrow.header.dbcp_name, "LPT1");
    EXPECT_EQ(PortOfDeviceEvent(reinterpret_cast<const DEV_BROADCAST_HDR *>(&narrow), false), -1);
    EXPECT_EQ(PortOfDeviceEvent(nullptr, true), -1);
}

}  // namespace
