#pragma once

// Marks the calling thread as a background job for the system's scheduler:
// woken by data it waits for, it does not interrupt the thread that is still
// sending. apcupsd writes a reply in two small writes per line; a polling
// thread that took the processor from the daemon at each of them would wake
// up to once per line of the reply instead of once. Without effect on Windows.
void setBackgroundScheduling();
