// The Windows face of the virtual driver: a COM in-process server with one
// class per registration, and the self-registration entry points.
#include <objbase.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <new>

#include "platform/driver_host.h"
#include "virtual_control.h"
#include "virtual_driver.h"

using namespace quillon;

namespace {

// olectl.h's SELFREG_E_CLASS, without pulling in OLE controls.
constexpr HRESULT kRegistrationFailed = static_cast<HRESULT>(0x80040201L);

HMODULE g_module = nullptr;
std::atomic<long> g_serverLocks{0};

class Factory final : public IClassFactory {
public:
    explicit Factory(int registration) : registration_(registration) { ++g_serverLocks; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            AddRef();
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }

    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --references_;
        if (left == 0) {
            --g_serverLocks;
            delete this;
        }
        return left;
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        asio::IASIO* driver = virtualdriver::createVirtualDriver(registration_);
        if (driver == nullptr) {
            return E_OUTOFMEMORY;
        }
        asio::AsioGuid id;
        std::memcpy(&id, &iid, sizeof id);
        HRESULT result = driver->QueryInterface(id, out);
        driver->Release();
        return result;
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ++g_serverLocks;
        } else {
            --g_serverLocks;
        }
        return S_OK;
    }

private:
    virtual ~Factory() = default;

    std::atomic<ULONG> references_{1};
    int registration_;
};

platform::DriverRegistration registrationOf(const virtualdriver::Registration& item, char* clsid,
                                            const char* path) {
    virtualdriver::formatClsid(item.clsid, clsid, 64);
    return {item.keyName, clsid, item.description, path, nullptr};
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    for (int i = 0; i < virtualdriver::kRegistrationCount; ++i) {
        if (std::memcmp(&clsid, &virtualdriver::kRegistrations[i].clsid, sizeof clsid) == 0) {
            auto* factory = new (std::nothrow) Factory(i);
            if (factory == nullptr) {
                return E_OUTOFMEMORY;
            }
            HRESULT result = factory->QueryInterface(iid, out);
            factory->Release();
            return result;
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
    return virtualdriver::liveDriverObjects() == 0 && g_serverLocks.load() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(g_module, path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        return kRegistrationFailed;
    }
    for (const virtualdriver::Registration& item : virtualdriver::kRegistrations) {
        char clsid[64];
        if (!platform::writeDriverRegistration(registrationOf(item, clsid, path))) {
            return kRegistrationFailed;
        }
    }
    return S_OK;
}

STDAPI DllUnregisterServer() {
    HRESULT result = S_OK;
    for (const virtualdriver::Registration& item : virtualdriver::kRegistrations) {
        char clsid[64];
        // A server path marks the class registration for removal as well.
        if (!platform::removeDriverRegistration(registrationOf(item, clsid, ""))) {
            result = kRegistrationFailed;
        }
    }
    return result;
}
