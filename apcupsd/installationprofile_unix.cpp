#include "installationprofile.h"

InstallationProfile InstallationProfile::native()
{
    return linuxStandIn();
}
