// A small Windows program that runs the product's WMI device listing for real
// (CI runs it under Wine) and checks what the configuration page relies on:
// the listing succeeds, the filter keeps exactly the names that contain it,
// and listing again in the same process - also on a thread that Qt has
// initialised for OLE - works and leaves the thread as it was.
// Prints what it saw and exits with 0 when every check holds.
#include "wmidevices_win.h"

#include <windows.h>

#include <objbase.h>
#include <ole2.h>

#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

namespace {

int failures = 0;

std::string utf8(const std::wstring &text)
{
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size,
                        nullptr, nullptr);
    return bytes;
}

void check(bool ok, const std::string &what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
    if (!ok)
        ++failures;
}

void print(const char *heading, const std::vector<std::wstring> &names)
{
    std::printf("%s: %u name(s)\n", heading, static_cast<unsigned>(names.size()));
    for (const std::wstring &name : names)
        std::printf("  \"%s\"\n", utf8(name).c_str());
}

// Runs one listing and checks that no step failed.
std::vector<std::wstring> listed(const std::wstring &filter, const char *heading)
{
    const WmiDeviceListing listing = listPnpDeviceNames(filter);
    check(listing.failure.empty(),
          std::string(heading) + ": no failure" +
                  (listing.failure.empty() ? std::string() : " (got \"" + listing.failure + "\")"));
    print(heading, listing.names);
    return listing.names;
}

std::vector<std::wstring> containing(const std::vector<std::wstring> &names,
                                     const std::wstring &filter)
{
    std::vector<std::wstring> kept;
    for (const std::wstring &name : names)
        if (name.find(filter) != std::wstring::npos)
            kept.push_back(name);
    return kept;
}

std::wstring swappedCase(std::wstring text)
{
    for (wchar_t &c : text)
        c = std::iswupper(c) ? std::towlower(c) : std::towupper(c);
    return text;
}

} // namespace

int main()
{
    const std::vector<std::wstring> all = listed(std::wstring(), "every device");
    check(!all.empty(), "WMI lists at least one device");
    if (all.empty())
        return 1;

    // A piece from the middle of a real name: a substring test, not equality.
    const std::wstring &sample = all.front();
    const std::wstring piece = sample.size() > 2 ? sample.substr(1, sample.size() - 2) : sample;
    const std::vector<std::wstring> expected = containing(all, piece);
    check(listed(piece, ("filter \"" + utf8(piece) + "\"").c_str()) == expected,
          "the filter keeps exactly the names that contain it, in WMI's order");

    // The same name in the other case matches nothing: the test is case-sensitive.
    const std::wstring nothing = swappedCase(sample);
    check(containing(all, nothing).empty(), "no name contains \"" + utf8(nothing) + "\"");
    check(listed(nothing, ("filter \"" + utf8(nothing) + "\"").c_str()).empty(),
          "a filter that no name contains keeps nothing");

    // The GUI thread's state when the configuration page lists devices: Qt has
    // initialised OLE there, in a single-threaded apartment.
    const HRESULT ole = OleInitialize(nullptr);
    check(SUCCEEDED(ole), "OLE initialised on this thread");
    check(listed(std::wstring(), "every device, on an OLE thread") == all,
          "a listing on an OLE thread gives the same names");
    // S_FALSE: COM was already initialised here in the same apartment model.
    const HRESULT again = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    check(again == S_FALSE, "the thread is still in its single-threaded apartment afterwards");
    if (SUCCEEDED(again))
        CoUninitialize();
    if (SUCCEEDED(ole))
        OleUninitialize();

    std::printf("%s\n", failures == 0 ? "all checks passed" : "some checks failed");
    return failures == 0 ? 0 : 1;
}
