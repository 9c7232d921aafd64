// Small pieces that the capture, the restore and the proxy detection share.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>

#include "ProxyIni.h"

// Copies text into a buffer of units characters, cut to fit and always
// terminated; nothing for a null buffer.
inline void CopyCut(wchar_t* buffer, size_t units, const std::wstring& text) {
    if (!buffer || units == 0) return;
    const size_t count = std::min(text.size(), units - 1);
    text.copy(buffer, count);
    buffer[count] = L'\0';
}

// True while Proxy.ini says that the LAN (or Firefox) settings are this
// program's and the user's own must still be put back. While that holds,
// the captured settings are the only copy of the user's and must neither be
// reset nor overwritten by a capture of the live settings.
template <class Store>
bool RestorePending(const Store& ini) {
    return ini.Get(ProxyIni::Key::IEProxyShouldResume, 0) == 1 ||
           ini.Get(ProxyIni::Key::FFProxyShouldResume, 0) == 1;
}
