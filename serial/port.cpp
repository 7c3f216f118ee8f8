// The serial port.
#include "serial.h"

const char *const PortNameTable[PortCount] = {"com1", "com2", "com3", "com4", "com5", "com6"};

std::atomic<HANDLE> PortHandle;             // user-interface thread
std::atomic<LONG> SerialReaderStopped{1};   // the serial receive thread, and the serial dialog

// Opening and configuring the port come with the serial port; until then
// the port counts as one that would not open.
int OpenSerialPort(const char *, int) { return 1; }
void ConfigureSerialPort() {}
// The serial receive thread comes with the bridge.
void __cdecl SerialReceiveThread(void *) {}
