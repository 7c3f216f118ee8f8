// The transfer log channels; the files and windows come with the bridge.
#include "translog.h"

TransferLog LanToSerialLog;     // user-interface thread
TransferLog SerialToLanLog;     // user-interface thread
