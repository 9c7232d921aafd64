// Registry keys and named events that more than one file reads or writes,
// each written here once.
#pragma once

// The install manager's machine key (and its 32-bit view on 64-bit Windows):
// its switches, its WinHTTP proxy settings and the family's company name.
constexpr wchar_t kInstallManagerKey[] = L"SOFTWARE\\VPN\\Install Manager";
constexpr wchar_t kInstallManagerKeyWow64[] = L"SOFTWARE\\Wow6432Node\\VPN\\Install Manager";
// The client's key, read from the current user and from the machine.
constexpr wchar_t kVpn2Key[] = L"SOFTWARE\\VPN\\VPN2";
constexpr wchar_t kVpn2KeyWow64[] = L"SOFTWARE\\Wow6432Node\\VPN\\VPN2";
constexpr char kVpn2KeyA[] = "SOFTWARE\\VPN\\VPN2";
constexpr wchar_t kClientAuthFlagKey[] = L"SOFTWARE\\VPN\\ClientAuthFlag";
constexpr wchar_t kCertInformationKey[] = L"Software\\VPN\\CertInformation";
constexpr wchar_t kAutoProxyKey[] = L"SOFTWARE\\VPN\\autoproxy";

// Set by a started copy of this program when its command is done; the
// waiting side creates it first.
constexpr wchar_t kCompletionEventName[] = L"Global\\{5D1FCC03-950B-4327-8CB7-4BF229ABB286}";
