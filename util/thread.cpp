// The worker thread type: the owner's side (Start, AskToStop, Stop) and the
// body's (KeepGoing, StopAsked, Leave) meet only in the atomic state and the
// stop event, so neither waits for the other without a limit.
#include "util.h"

#include <process.h>

unsigned __stdcall WorkerThread::Run(void *self)
{
    auto *thread = static_cast<WorkerThread *>(self);
    thread->body(*thread);
    thread->state = Ending;
    return 0;
}

bool WorkerThread::Reap(DWORD waitMs)
{
    if (handle == nullptr)
        return true;
    if (WaitForSingleObject(handle, waitMs) != WAIT_OBJECT_0)
        return false;
    CloseHandle(handle);
    handle = nullptr;
    return true;
}

bool WorkerThread::Start(Body newBody, DWORD endWaitMs, void *newContext)
{
    if (handle != nullptr) {
        LONG seen = StopWanted;
        if (state.compare_exchange_strong(seen, Running)) {
            ResetEvent(stopEvent);      // withdrawn before the body looked
            return true;
        }
        if (seen == Running)
            return true;
        if (!Reap(endWaitMs))
            return false;               // still ending: it keeps what it owns
    }
    if (stopEvent == nullptr)
        stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stopEvent == nullptr)
        return false;
    ResetEvent(stopEvent);
    body = newBody;
    context = newContext;
    state = Running;
    uintptr_t created = _beginthreadex(nullptr, 0, Run, this, 0, nullptr);
    if (created == 0) {
        state = Ending;
        return false;
    }
    handle = reinterpret_cast<HANDLE>(created);
    return true;
}

void WorkerThread::AskToStop()
{
    LONG seen = Running;
    (void)state.compare_exchange_strong(seen, StopWanted);     // an ending body needs no asking
    if (stopEvent != nullptr)
        SetEvent(stopEvent);
}

bool WorkerThread::Stop(DWORD limitMs)
{
    AskToStop();
    return Reap(limitMs);
}

bool WorkerThread::KeepGoing()
{
    LONG seen = StopWanted;
    if (state.compare_exchange_strong(seen, Ending))
        return false;
    return seen == Running;
}
