// Readers and writers of the single registry values through which the
// installed client, the install-manager service and this program pass
// switches and states.
#pragma once

#include <windows.h>

// Accepted values of the flags; anything else gives the default.
int ProxyListenPortFromValue(LSTATUS status, DWORD value);
int SSLProtoFromValue(LSTATUS status, DWORD value);
int MachineCertFlagFromValue(LSTATUS status, DWORD value);
int IsOneFromValue(LSTATUS status, DWORD value);

int GetSSLProtoFlag();
int GetBVStatus();
int GetVPN2Value(const char* name);
int GetLocalMachineCertPathFlag();
int GetBrevantoCommandLineFlag();
int IsBrevantoWebDuringDisconnect();
void SetBrevantoWebDuringDisconnectFlag(bool flag);
int GetBrevantoUpgradeStatus();
int GetProxyListenPort();
int IsEnableClientAuth();
void WriteServiceNameToSafeModeReg(const wchar_t* keyPath);
// The running client's UDP port (65432 when missing).
int GetBrevantoUdpPort();
