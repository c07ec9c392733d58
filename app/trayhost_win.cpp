#include "trayhost.h"

// Windows always has its notification area.
void TrayHost::followSession() { }
