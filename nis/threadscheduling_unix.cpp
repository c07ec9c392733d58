#include "threadscheduling.h"

#include <pthread.h>
#include <sched.h>

void setBackgroundScheduling()
{
#ifdef SCHED_BATCH
    // A batch thread keeps its share of the processor but never preempts on
    // waking. A failure only costs wake-ups.
    const sched_param parameters{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameters);
#endif
}
