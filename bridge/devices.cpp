// The real port and the real peer behind the bridge's PortIo and PeerIo:
// thin, each call the system's own.
#include "bridge.h"

namespace {

class DevicePort final : public PortIo {
public:
    explicit DevicePort(HANDLE port) : handle(port) {}
    ~DevicePort() override { CloseHandle(handle); }
    DevicePort(const DevicePort &) = delete;
    DevicePort &operator=(const DevicePort &) = delete;

    IoStart Read(PortRequest &request, void *buffer, DWORD count, DWORD *error) override
    {
        return StartPortRead(handle, request, buffer, count, error);
    }
    IoStart Write(PortRequest &request, const void *data, DWORD count, DWORD *error) override
    {
        return StartPortWrite(handle, request, data, count, error);
    }
    bool Result(PortRequest &request, DWORD *moved, DWORD *error) override
    {
        return PortRequestResult(handle, request, moved, error);
    }
    void Cancel(PortRequest &request) override { CancelPortRequest(handle, request); }
    bool Queued(DWORD *bytes, DWORD *error) override { return PortQueuedInput(handle, bytes, error); }
    bool ApplyLine(const PortLine &line, DWORD *error) override { return ::ApplyLine(handle, line, error); }
    bool ReadLine(int32_t flow, PortLine *line) override { return ReadPortLine(handle, flow, line); }
    bool Escape(DWORD function) override { return EscapeCommFunction(handle, function) != FALSE; }
    bool Purge(DWORD flags) override { return PurgeComm(handle, flags) != FALSE; }
    bool ModemLines(DWORD *lines) override { return GetCommModemStatus(handle, lines) != FALSE; }

private:
    HANDLE handle;
};

class SocketPeer final : public PeerIo {
public:
    // Auto-reset: a wait takes the news it woke for, and Winsock sets the
    // event again only after the next receive, so a peer that is not read
    // from (a block held) cannot keep a thread spinning.
    explicit SocketPeer(SOCKET peer) : socket(peer), news(CreateEventW(nullptr, FALSE, FALSE, nullptr))
    {
        // From now on the socket's data and close go to the event, no longer
        // to the main window; this fails only for a handle that is no socket.
        if (news != nullptr)
            (void)WSAEventSelect(socket, news, FD_READ | FD_CLOSE);
    }
    ~SocketPeer() override
    {
        if (news != nullptr)
            CloseHandle(news);
    }
    SocketPeer(const SocketPeer &) = delete;
    SocketPeer &operator=(const SocketPeer &) = delete;

    int Send(const char *data, int count, int *error) override
    {
        int sent = send(socket, data, count, 0);
        *error = sent == SOCKET_ERROR ? WSAGetLastError() : 0;
        return sent;
    }
    int Receive(char *buffer, int size, int *error) override
    {
        int received = recv(socket, buffer, size, 0);
        *error = received == SOCKET_ERROR ? WSAGetLastError() : 0;
        return received;
    }
    void WaitWritable(DWORD limitMs) override
    {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(socket, &writable);
        timeval timeout = {0, static_cast<long>(limitMs * 1000)};
        (void)select(0, nullptr, &writable, nullptr, &timeout);    // the send that follows tells what came of it
    }
    HANDLE NewsEvent() const override { return news; }
    bool PeerClosed() override
    {
        WSANETWORKEVENTS events = {};
        return WSAEnumNetworkEvents(socket, nullptr, &events) == 0 && (events.lNetworkEvents & FD_CLOSE) != 0;
    }
    void LetGo() override { (void)WSAEventSelect(socket, nullptr, 0); }    // fails only for no socket

private:
    SOCKET socket;
    HANDLE news;
};

}  // namespace

std::unique_ptr<PortIo> MakeDevicePort(HANDLE port)
{
    return std::make_unique<DevicePort>(port);
}

std::unique_ptr<PeerIo> MakeSocketPeer(SOCKET socket)
{
    return std::make_unique<SocketPeer>(socket);
}
