#include "quickack.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

void requestQuickAck(qintptr socketDescriptor)
{
#ifdef TCP_QUICKACK
    if (socketDescriptor < 0)
        return;
    const int enable = 1;
    // A failure only costs speed; the read goes on either way.
    ::setsockopt(int(socketDescriptor), IPPROTO_TCP, TCP_QUICKACK, &enable, sizeof enable);
#else
    Q_UNUSED(socketDescriptor)
#endif
}
