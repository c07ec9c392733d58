#pragma once

#include <QtGlobal>

// Asks the system to acknowledge the data that arrives next on this TCP socket
// at once instead of delaying the acknowledgement. Linux clears the request
// again by itself after a while, so callers make it before every read. Does
// nothing where the option does not exist.
void requestQuickAck(qintptr socketDescriptor);
