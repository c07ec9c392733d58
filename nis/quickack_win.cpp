#include "quickack.h"

// Windows has no per-read quick acknowledgement; replies are read as they come.
void requestQuickAck(qintptr socketDescriptor)
{
    Q_UNUSED(socketDescriptor)
}
