// Overlapped reads and writes on a port. A request belongs to one thread,
// which starts it, waits on its event and collects it; the record and the
// buffer stay the request's until it has completed, also after a cancel.
#include "serial.h"

// The event is unnamed, so no other process can find and signal it. It is
// stored with its low bit set, which tells the system that no request on
// the record goes to a completion port (none is ever bound to a port), so
// that a request that completes at once does not look for one; under Wine
// that look is a call into the wineserver. The system ignores the bit
// wherever the handle is used.
bool PreparePortRequest(PortRequest &request)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    request = PortRequest{};
    if (event == nullptr)
        return false;
    request.overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
    return true;
}

void ReleasePortRequest(PortRequest &request)
{
    if (request.overlapped.hEvent != nullptr)
        CloseHandle(request.overlapped.hEvent);
    request = PortRequest{};
}

static IoStart StartOutcome(BOOL done, PortRequest &request, DWORD *error)
{
    request.cancelled = false;
    request.inFlight = true;
    if (done) {
        *error = ERROR_SUCCESS;
        return IoStart::Done;
    }
    *error = GetLastError();
    if (*error == ERROR_IO_PENDING)
        return IoStart::Pending;
    request.inFlight = false;
    return IoStart::Failed;
}

IoStart StartPortRead(HANDLE port, PortRequest &request, void *buffer, DWORD count, DWORD *error)
{
    return StartOutcome(ReadFile(port, buffer, count, nullptr, &request.overlapped), request, error);
}

IoStart StartPortWrite(HANDLE port, PortRequest &request, const void *data, DWORD count, DWORD *error)
{
    return StartOutcome(WriteFile(port, data, count, nullptr, &request.overlapped), request, error);
}

bool PortRequestResult(HANDLE port, PortRequest &request, DWORD *moved, DWORD *error)
{
    *moved = 0;
    *error = ERROR_SUCCESS;
    request.inFlight = false;
    if (GetOverlappedResult(port, &request.overlapped, moved, FALSE))
        return true;
    *error = GetLastError();
    return false;
}

void CancelPortRequest(HANDLE port, PortRequest &request)
{
    (void)CancelIoEx(port, &request.overlapped);   // fails when the request is done already
    request.cancelled = true;
}

bool PortQueuedInput(HANDLE port, DWORD *queued, DWORD *error)
{
    COMSTAT status = {};
    DWORD lineErrors = 0;
    *queued = 0;
    *error = ERROR_SUCCESS;
    // Line errors are cleared here and never reported; the bytes go on as
    // the driver delivers them.
    if (!ClearCommError(port, &lineErrors, &status)) {
        *error = GetLastError();
        return false;
    }
    *queued = status.cbInQue;
    return true;
}
