// Makes sure the install-manager service answers before the launcher asks it
// for anything; when it does not, an elevated installed copy of this program
// installs it while this one waits for the completion event.
#pragma once

#include <cstdint>

// 1: the service answers, was installed and answers now, or the installing
// copy did not signal within 300 s (the caller meets any failure at its own
// service calls). 0: the copy could not be started, or it signalled and the
// service still cannot be created. The language id goes to the copy for its
// dialogs (0: the system's default). bSetStatus allows VPNstatus 100.
int32_t CheckGrendal(const wchar_t* host, uint16_t port, const wchar_t* session,
                     uint32_t languageId, uint8_t bSetStatus);
