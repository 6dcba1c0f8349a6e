// Packet log ring and the per-link packet-debug operations.
#include "aPacketLog.h"
