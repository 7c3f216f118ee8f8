// The main window's handling of socket notifications and of the bridge's
// reports, on a stand-in window with the controls it writes: which move the
// connection, and which are ignored.
#include "app/app.h"
#include "bridge/bridge.h"
#include "config/config.h"
#include "fakes.h"
#include "net/net.h"
#include "res/resource.h"
#include "serial/serial.h"
#include "test_windows.h"
#include "util/util.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <functional>
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
        while (PeekMessageW(&message, window, WM_SOCKET_RELEASED, WM_SOCKET_RELEASED, PM_REMOVE))
            OnSocketReleased(static_cast<SOCKET>(message.wParam));
        DataBridge.Detach();
        EXPECT_TRUE(DataBridge.TakePort(LetGoMs));
        EXPECT_TRUE(DataBridge.Stop(LetGoMs));
        SOCKET left = ConnectionSocket.exchange(0);
        if (left != 0)
            closesocket(left);
        MainWindow = nullptr;
        LinkState = LinkIdle;
        DestroyWindow(window);
        WSACleanup();
    }

    std::string Status() const { return ItemText(window, IDC_STATUS_TEXT); }

    // The program's bridge with a fake port and a peer whose script the
    // test sets; its data threads run.
    LONG AttachFakePeer(const std::function<void(fake::PeerScript &)> &script)
    {
        port = std::make_shared<fake::PortScript>();
        peer = std::make_shared<fake::PeerScript>();
        script(*peer);
        EXPECT_TRUE(DataBridge.Start());
        DataBridge.GivePort(std::make_unique<fake::Port>(port), {9600, 8, NOPARITY, ONESTOPBIT, FlowNone});
        return DataBridge.Attach(std::make_unique<fake::Peer>(peer), false);
    }

    // The bridge's report of a connection's end, taken as the main window
    // takes it.
    bool TakeEndReport()
    {
        return fake::WaitUntil([&] {
            MSG message;
            if (!PeekMessageW(&message, window, WM_CONNECTION_ENDED, WM_CONNECTION_ENDED, PM_REMOVE))
                return false;
            OnConnectionEnded(static_cast<LONG>(message.wParam));
            return true;
        });
    }

    static constexpr DWORD LetGoMs = 1000;
    std::shared_ptr<fake::PortScript> port;
    std::shared_ptr<fake::PeerScript> peer;

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
TEST_F(SocketNotifications, AFailedSendEndsLikeACloseAndShowsTheError)
{
    Settings.MODE = 0;
    LinkState = LinkConnected;
    AttachFakePeer([](fake::PeerScript &peer) { peer.sendError = WSAECONNABORTED; });
    port->Send("x");
    ASSERT_TRUE(TakeEndReport());
    EXPECT_EQ(LinkState, LinkListening);
    EXPECT_EQ(DataBridge.Current(), 0);
    EXPECT_EQ(ConnectionSocket, 0u);
    EXPECT_EQ(Status(), "Socket Error: 10053");
}

// Reports about a connection that has been replaced since change nothing.
TEST_F(SocketNotifications, ReportsAboutAnEarlierConnectionAreIgnored)
{
    Settings.MODE = 1;
    LinkState = LinkConnected;
    LONG connection = AttachFakePeer([](fake::PeerScript &) {});
    OnConnectionEnded(connection - 1);
    EXPECT_EQ(LinkState, LinkConnected);
    EXPECT_EQ(DataBridge.Current(), connection);
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
        AttachFakePeer([error](fake::PeerScript &peer) { peer.receiveError = error; });
        ASSERT_TRUE(TakeEndReport());
        EXPECT_EQ(LinkState, LinkListening);
        EXPECT_EQ(Status(), error == WSAECONNRESET ? "Accept Waiting ・・・" : "Socket Error: 10052");
        EXPECT_TRUE(DataBridge.TakePort(LetGoMs));
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
    OnSocketReleased(socket);      // the marker posted after the close
    OnSocketNotify(socket, WSAMAKESELECTREPLY(FD_CLOSE, WSAECONNRESET));
    EXPECT_EQ(LinkState, LinkListening);
    socket = INVALID_SOCKET;
}

}  // namespace

namespace {

// The port a plug-in or plug-out names, in either form of the record; a
// record of another kind, or a name cut off by its size, names none.
TEST(ConnectionEnds, AreToldInPlainWords)
{
    char text[128];
    DescribeConnectionEnd(0, 0, text, sizeof text);
    EXPECT_STREQ(text, "the peer closed it");
    DescribeConnectionEnd(WSAECONNRESET, 0, text, sizeof text);
    EXPECT_STREQ(text, "the peer reset it");
    DescribeConnectionEnd(WSAETIMEDOUT, 31999, text, sizeof text);
    EXPECT_STREQ(text, "the peer vanished; given up after 31 s without a word from it");
    DescribeConnectionEnd(WSAENETDOWN, 0, text, sizeof text);
    EXPECT_STREQ(text, "error 10050");
}

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
