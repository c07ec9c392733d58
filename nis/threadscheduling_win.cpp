#include "threadscheduling.h"

// The polling thread keeps the priority it was started with.
void setBackgroundScheduling() { }
