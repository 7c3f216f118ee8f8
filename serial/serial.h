// Serial link: the one serial port, the serial receive thread and the serial
// write.
#pragma once

#include <windows.h>
#include <atomic>

constexpr int PortCount = 6;
extern const char *const PortNameTable[PortCount];

// The port: a valid handle, INVALID_HANDLE_VALUE after a failed open, or
// null once closed. Written on the user-interface thread only.
extern std::atomic<HANDLE> PortHandle;

// 1 whenever no serial receive thread runs.
extern std::atomic<LONG> SerialReaderStopped;

int OpenSerialPort(const char *name, int number);
void ConfigureSerialPort();
void __cdecl SerialReceiveThread(void *);
