#include "wmidevices_win.h"

#ifndef _WIN32_DCOM
#define _WIN32_DCOM
#endif
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <cstdio>

namespace {

std::string withCode(const char *message, HRESULT result)
{
    char code[16];
    std::snprintf(code, sizeof code, "%lX", static_cast<unsigned long>(result));
    return std::string(message) + code;
}

// A counted wide string for one WMI call, freed after it.
class Bstr
{
public:
    explicit Bstr(const wchar_t *text)
        : value(SysAllocString(text))
    { }
    ~Bstr() { SysFreeString(value); }
    Bstr(const Bstr &) = delete;
    Bstr &operator=(const Bstr &) = delete;
    operator BSTR() const { return value; }

private:
    BSTR value;
};

template<typename Interface> void release(Interface *&object)
{
    if (object) {
        object->Release();
        object = nullptr;
    }
}

// COM for the duration of one listing. When the thread already had COM in
// another apartment model (Qt initialises OLE on the GUI thread), that
// initialisation is undone for the listing and restored afterwards, so that
// the thread's clipboard and drag and drop keep working.
class ComScope
{
public:
    ComScope()
    {
        result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (result == RPC_E_CHANGED_MODE) {
            OleUninitialize();
            hadOle = true;
            result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        }
    }
    ~ComScope()
    {
        if (SUCCEEDED(result))
            CoUninitialize();
        if (hadOle)
            OleInitialize(nullptr);
    }
    ComScope(const ComScope &) = delete;
    ComScope &operator=(const ComScope &) = delete;

    HRESULT result = S_OK;

private:
    bool hadOle = false;
};

} // namespace

WmiDeviceListing listPnpDeviceNames(const std::wstring &filter)
{
    WmiDeviceListing listing;

    ComScope com;
    if (FAILED(com.result)) {
        listing.failure = withCode("Failed to initialize COM library. Error code = 0x", com.result);
        return listing;
    }

    HRESULT result = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                          RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    // Process security can be set only once per process; a second listing
    // finds it set by the first and goes on with it.
    if (FAILED(result) && result != RPC_E_TOO_LATE) {
        listing.failure = withCode("Failed to initialize security. Error code = 0x", result);
        return listing;
    }

    IWbemLocator *locator = nullptr;
    result = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                              reinterpret_cast<LPVOID *>(&locator));
    if (FAILED(result)) {
        listing.failure = "Failed to create IWbemLocator object";
        return listing;
    }

    IWbemServices *services = nullptr;
    {
        const Bstr wmiNamespace(L"ROOT\\CIMV2");
        result = locator->ConnectServer(wmiNamespace, nullptr, nullptr, nullptr, 0, nullptr,
                                        nullptr, &services);
    }
    if (FAILED(result)) {
        listing.failure = withCode("Could not connect. Error code = 0x", result);
        release(locator);
        return listing;
    }

    result = CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                               RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                               EOAC_NONE);
    if (FAILED(result)) {
        listing.failure = withCode("Could not set proxy blanket. Error code = 0x", result);
        release(services);
        release(locator);
        return listing;
    }

    IEnumWbemClassObject *enumerator = nullptr;
    {
        const Bstr language(L"WQL");
        const Bstr query(L"SELECT * FROM Win32_PnPEntity");
        result = services->ExecQuery(language, query,
                                     WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                     &enumerator);
    }
    if (FAILED(result)) {
        listing.failure = "Query for operating system name failed.";
        release(services);
        release(locator);
        return listing;
    }

    for (;;) {
        IWbemClassObject *object = nullptr;
        ULONG returned = 0;
        enumerator->Next(WBEM_INFINITE, 1, &object, &returned);
        if (returned == 0)
            break;
        VARIANT value;
        VariantInit(&value);
        object->Get(L"Name", 0, &value, nullptr, nullptr);
        // A device without a name (or with a name of another type) is left out.
        if (value.vt == VT_BSTR && value.bstrVal) {
            const std::wstring name(value.bstrVal);
            if (filter.empty() || name.find(filter) != std::wstring::npos)
                listing.names.push_back(name);
        }
        VariantClear(&value);
        release(object);
    }

    release(services);
    release(locator);
    release(enumerator);
    return listing;
}
