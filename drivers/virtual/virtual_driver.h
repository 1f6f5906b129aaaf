// The virtual ASIO driver object, shared by the Windows COM server and the
// Linux shared object.
#pragma once

#include <cstddef>

#include "device/asio.h"

namespace quillon::virtualdriver {

// A new driver object with one reference, for registration `registration`
// (-1: the first until the host names the registration through future).
asio::IASIO* createVirtualDriver(int registration);
// Driver objects alive in this module, for unloading decisions.
long liveDriverObjects();
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"; out must hold 39 bytes.
void formatClsid(const asio::AsioGuid& clsid, char* out, std::size_t size);

} // namespace quillon::virtualdriver
