// The port's hand-over between the user-interface thread and the writer.
// The owner waits for the writer with a limit, and serves the messages the
// writer sends meanwhile (a log window's count), so that neither waits for
// the other without end.
#include "bridge.h"

constexpr DWORD LetGoPollMs = 1;

bool PortLease::Acquire()
{
    holding = 1;
    if (taking) {
        holding = 0;
        return false;
    }
    return true;
}

void PortLease::Release()
{
    holding = 0;
}

bool PortLease::Take(DWORD limitMs, HANDLE wake)
{
    taking = 1;
    if (wake != nullptr)
        SetEvent(wake);
    ULONGLONG deadline = GetTickCount64() + limitMs;
    while (holding) {
        if (GetTickCount64() >= deadline) {
            taking = 0;
            return false;
        }
        (void)MsgWaitForMultipleObjects(0, nullptr, FALSE, LetGoPollMs, QS_SENDMESSAGE);
        MSG message;
        (void)PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    return true;
}

void PortLease::Give()
{
    taking = 0;
}
