// A port and a peer for the bridge, played by the test: what the device
// sends and what the peer sends go in, what the bridge wrote and sent comes
// out. Requests complete as on a real port: a read waits until bytes come
// and takes what has come, each request's event is set when it is done, a
// cancel completes it with what it had. The test keeps the script; the
// bridge owns the port or peer that plays it.
#pragma once

#include "bridge/bridge.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fake {

// Waits, up to the limit, for what a data thread should bring about.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD limitMs = 5000)
{
    for (ULONGLONG deadline = GetTickCount64() + limitMs; !condition();) {
        if (GetTickCount64() > deadline)
            return false;
        Sleep(1);
    }
    return true;
}

inline HANDLE EventOf(PortRequest &request)
{
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(request.overlapped.hEvent) & ~ULONG_PTR{1});
}

inline void Complete(PortRequest &request, DWORD moved, DWORD error)
{
    request.overlapped.InternalHigh = moved;
    request.overlapped.Internal = error;
    SetEvent(EventOf(request));
}

// What the device and the port do; shared by the test and the port.
struct PortScript {
    std::mutex lock;
    std::string input;              // from the device, not yet read
    std::string written;            // what the bridge wrote, in order
    std::vector<std::string> log;   // "w:<bytes>" for each write taken, "line:<bps>" for each line applied
    bool held = false;              // writes wait, as on a line held by flow control
    bool gone = false;              // every request fails as on a removed adapter
    PortRequest *reading = nullptr;
    char *readInto = nullptr;
    DWORD readCount = 0;
    PortRequest *writing = nullptr;
    std::string writeData;

    // The device sends.
    void Send(const std::string &bytes)
    {
        std::lock_guard<std::mutex> guard(lock);
        input += bytes;
        if (reading != nullptr)
            FinishRead();
    }
    std::string Written()
    {
        std::lock_guard<std::mutex> guard(lock);
        return written;
    }
    // The line is let go: a held write completes.
    void Release()
    {
        std::lock_guard<std::mutex> guard(lock);
        held = false;
        if (writing != nullptr)
            FinishWrite(static_cast<DWORD>(writeData.size()), ERROR_SUCCESS);
    }
    // The adapter is pulled out: a request under way fails.
    void Remove()
    {
        std::lock_guard<std::mutex> guard(lock);
        gone = true;
        if (reading != nullptr) {
            Complete(*reading, 0, ERROR_BAD_COMMAND);
            reading = nullptr;
        }
        if (writing != nullptr)
            FinishWrite(0, ERROR_BAD_COMMAND);
    }

    void FinishRead()
    {
        DWORD count = std::min(readCount, static_cast<DWORD>(input.size()));
        memcpy(readInto, input.data(), count);
        input.erase(0, count);
        Complete(*reading, count, ERROR_SUCCESS);
        reading = nullptr;
    }
    void FinishWrite(DWORD count, DWORD error)
    {
        written += writeData.substr(0, count);
        log.push_back("w:" + writeData.substr(0, count));
        Complete(*writing, count, error);
        writing = nullptr;
    }
};

class Port final : public PortIo {
public:
    explicit Port(std::shared_ptr<PortScript> script) : s(std::move(script)) {}

    IoStart Read(PortRequest &request, void *buffer, DWORD count, DWORD *error) override
    {
        std::lock_guard<std::mutex> guard(s->lock);
        Begin(request);
        if (s->gone)
            return Fail(request, error);
        s->reading = &request;
        s->readInto = static_cast<char *>(buffer);
        s->readCount = count;
        *error = ERROR_IO_PENDING;
        if (s->input.empty())
            return IoStart::Pending;
        s->FinishRead();
        return IoStart::Done;
    }
    IoStart Write(PortRequest &request, const void *data, DWORD count, DWORD *error) override
    {
        std::lock_guard<std::mutex> guard(s->lock);
        Begin(request);
        if (s->gone)
            return Fail(request, error);
        s->writing = &request;
        s->writeData.assign(static_cast<const char *>(data), count);
        *error = ERROR_IO_PENDING;
        if (s->held)
            return IoStart::Pending;
        s->FinishWrite(count, ERROR_SUCCESS);
        return IoStart::Done;
    }
    bool Result(PortRequest &request, DWORD *moved, DWORD *error) override
    {
        request.inFlight = false;
        *moved = static_cast<DWORD>(request.overlapped.InternalHigh);
        *error = static_cast<DWORD>(request.overlapped.Internal);
        return *error == ERROR_SUCCESS;
    }
    void Cancel(PortRequest &request) override
    {
        std::lock_guard<std::mutex> guard(s->lock);
        request.cancelled = true;
        if (s->reading == &request) {
            Complete(request, 0, ERROR_OPERATION_ABORTED);
            s->reading = nullptr;
        }
        if (s->writing == &request)
            s->FinishWrite(0, ERROR_OPERATION_ABORTED);
    }
    bool Queued(DWORD *bytes, DWORD *error) override
    {
        std::lock_guard<std::mutex> guard(s->lock);
        *bytes = static_cast<DWORD>(s->input.size());
        *error = s->gone ? ERROR_BAD_COMMAND : ERROR_SUCCESS;
        return !s->gone;
    }
    bool ApplyLine(const PortLine &line, DWORD *error) override
    {
        std::lock_guard<std::mutex> guard(s->lock);
        s->log.push_back("line:" + std::to_string(line.bps));
        applied = line;
        *error = ERROR_SUCCESS;
        return true;
    }
    bool ReadLine(int32_t flow, PortLine *line) override
    {
        *line = applied;
        line->flow = flow;
        return true;
    }
    bool Escape(DWORD) override { return false; }     // no modem lines, as on a pty
    bool Purge(DWORD) override { return true; }
    bool ModemLines(DWORD *) override { return false; }

private:
    // As the system does: a request starts with its event reset.
    static void Begin(PortRequest &request)
    {
        request.cancelled = false;
        request.inFlight = true;
        ResetEvent(EventOf(request));
    }
    IoStart Fail(PortRequest &request, DWORD *error)
    {
        request.inFlight = false;
        *error = ERROR_BAD_COMMAND;
        return IoStart::Failed;
    }

    std::shared_ptr<PortScript> s;
    PortLine applied = {9600, 8, NOPARITY, ONESTOPBIT, FlowNone};
};

// What the peer does; shared by the test and the peer.
struct PeerScript {
    std::mutex lock;
    std::string input;              // from the peer, not yet received
    std::string sent;               // what the bridge sent to the peer
    bool closed = false;            // the peer closed its end: receives give 0 once the input is read
    bool full = false;              // sends would block
    int sendError = 0;              // sends fail with this
    int receiveError = 0;           // receives fail with this
    HANDLE news = CreateEventW(nullptr, FALSE, FALSE, nullptr);

    ~PeerScript() { CloseHandle(news); }

    void Send(const std::string &bytes)
    {
        std::lock_guard<std::mutex> guard(lock);
        input += bytes;
        SetEvent(news);
    }
    void Close()
    {
        std::lock_guard<std::mutex> guard(lock);
        closed = true;
        SetEvent(news);
    }
    std::string Sent()
    {
        std::lock_guard<std::mutex> guard(lock);
        return sent;
    }
};

class Peer final : public PeerIo {
public:
    explicit Peer(std::shared_ptr<PeerScript> script) : s(std::move(script)) {}

    int Send(const char *data, int count, int *error) override
    {
        std::lock_guard<std::mutex> guard(s->lock);
        *error = s->sendError != 0 ? s->sendError : s->full ? WSAEWOULDBLOCK : 0;
        if (*error != 0)
            return SOCKET_ERROR;
        s->sent.append(data, static_cast<size_t>(count));
        return count;
    }
    int Receive(char *buffer, int size, int *error) override
    {
        std::lock_guard<std::mutex> guard(s->lock);
        *error = s->receiveError;
        if (*error != 0)
            return SOCKET_ERROR;
        if (s->input.empty()) {
            if (s->closed)
                return 0;
            *error = WSAEWOULDBLOCK;
            return SOCKET_ERROR;
        }
        int count = std::min(size, static_cast<int>(s->input.size()));
        memcpy(buffer, s->input.data(), static_cast<size_t>(count));
        s->input.erase(0, static_cast<size_t>(count));
        return count;
    }
    void WaitWritable(DWORD limitMs) override { Sleep(std::min<DWORD>(limitMs, 1)); }
    HANDLE NewsEvent() const override { return s->news; }
    bool PeerClosed() override
    {
        std::lock_guard<std::mutex> guard(s->lock);
        return s->closed;
    }
    void LetGo() override {}

private:
    std::shared_ptr<PeerScript> s;
};

}  // namespace fake
