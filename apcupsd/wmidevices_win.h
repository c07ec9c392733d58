#pragma once

// Plain Win32 and COM, no Qt: CI compiles this file with a cross compiler.

#include <string>
#include <vector>

struct WmiDeviceListing
{
    // The "Name" of each Plug and Play device that contains the filter, in the
    // order WMI returns them; duplicates remain.
    std::vector<std::wstring> names;
    // The trace message of the step that failed; empty when the listing worked.
    std::string failure;
};

// Asks WMI (ROOT\CIMV2, Win32_PnPEntity) for every device and keeps the names
// that contain filter (case-sensitive; all when it is empty). Runs on the
// calling thread and blocks until the enumeration ends.
WmiDeviceListing listPnpDeviceNames(const std::wstring &filter);
