#pragma once

#include <functional>
#include <thread>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

// Runs work on a thread of its own that has given up the capabilities that
// let root write where permission bits forbid it, so that a test run as root
// (as in CI) sees what a user sees in a folder that is not writable.
// Capabilities belong to each thread: the rest of the test keeps them.
// Returns false, without running work, when they cannot be given up.
inline bool runWithoutFileOverride(const std::function<void()> &work)
{
    bool confined = false;
    std::thread thread([&confined, &work] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        if (syscall(SYS_capget, &header, data) != 0)
            return;
        for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            data[CAP_TO_INDEX(capability)].effective &= ~CAP_TO_MASK(capability);
        if (syscall(SYS_capset, &header, data) != 0)
            return;
        confined = true;
        work();
    });
    thread.join();
    return confined;
}
