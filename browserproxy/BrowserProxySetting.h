// The object through which a command saves, changes and restores the
// browsers' proxy settings. It holds no resources and no state of its own:
// Proxy.ini and the system's per-connection settings are the state, so a
// later command (or a later run after a crash) carries on where an earlier
// one stopped. Users build it on the stack with both bytes zeroed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

struct ZoneList;
namespace ProxyIni {
struct IECapture;
}

class CBrowserProxySetting {
public:
    // ---- Capture ------------------------------------------------------------

    // Reads the LAN settings (and runs automatic discovery when they ask for
    // it). 1 when the caller should go on to evaluate a script, or the
    // settings are plain direct; 0 when the query failed, a named proxy is
    // set, or discovery was wanted and found nothing. The flag and text
    // outputs are filled whenever the query succeeded. Text buffers may be
    // null; they hold 1024, 1024 and 4096 units, the detected URL 1024 bytes.
    int32_t OnDetectProxySetting(uint32_t* autoDiscoveryFlags, uint32_t* flags,
                                 wchar_t* script, wchar_t* server, wchar_t* bypass,
                                 char* detectedUrl);
    // Records the user's own settings in Proxy.ini of the folder kind, with
    // the proxy that their script gives for the gateway. 1 when written.
    int32_t OnSave(bool captureIE, const wchar_t* firefoxPreferences, const wchar_t* gatewayHost,
                   bool comServer, uint32_t folderKind);

    // The proxy that a PAC script names for "https://<gatewayHost>": 1 with a
    // host (260-byte buffer, zeroed by the caller) and port, 0 otherwise (also
    // for DIRECT). A stored script result in Proxy.ini is used when present.
    int32_t ParseProxyHostAndPort(const char* scriptUrl, const char* gatewayHost, char* host,
                                  uint16_t* port, uint8_t* socks, uint8_t comServer);

    // ---- Change and restore -------------------------------------------------

    // Points the VPN's dial-up entry (nonzero) or the LAN (0) at the local
    // Proxy.pac, or the LAN at a given URL. The matching restore flag is
    // recorded first, so that a run that dies after the change still leaves
    // the next restore its instruction; without a Proxy.ini to record it in
    // nothing is changed. 1 set, 0 not.
    int32_t OnSetBrowserSetting(int32_t dialUp);
    int32_t OnSetBrowserSetting(const char* autoConfigUrl);
    // Resets one connection (empty name: the LAN) to direct with empty texts.
    void OnClearIEProxySettings(const wchar_t* connectionName);
    // The captured Internet Explorer settings; 1 when Proxy.ini exists.
    int32_t GetSavedUserIEProxySettings(uint32_t* autoDiscoveryFlags, uint32_t* flags,
                                        wchar_t* script, wchar_t* server, wchar_t* bypass,
                                        wchar_t* detectedUrl);
    // Puts the captured LAN settings back; with onlyIE false the dial-up
    // names and Proxy.pac are reset too. True when the LAN settings were set.
    bool OnResumeIE(bool onlyIE);
    void OnResumeIEDial();
    // Restores what the resume flags name. True when every restore it
    // attempted succeeded (also when none was needed); on false the flags
    // must stay as they are.
    bool OnResume();
    void OnResumeBVLan();
    // Backs up Proxy.ini and resets its capture keys.
    void OnClear(uint32_t folderKind);
    int32_t OnSetResumeFlag(uint32_t flag);
    int32_t OnSetResumeFlagBVDial(uint32_t flag);
    int32_t IsNeedResume();
    int32_t IsNeedResumeBVDial();

    // ---- The tunnel's PAC script --------------------------------------------

    // Writes Proxy.pac for the gateway and the zones (the user's own proxy or
    // script for the gateway and the exclude zones, the include zones
    // direct, the rest as the user's settings say, or direct in a full
    // tunnel) and points the browser at it. The outside script is the text
    // of the user's remote script (may be null). The result of
    // OnSetBrowserSetting, or 0 when nothing was changed: no outside proxy
    // configured, a gateway host that is not a host name or address, or a
    // file that cannot be written.
    int32_t OnGenerateScriptAndSetBV(const char* gatewayHost, const ZoneList& include,
                                     const ZoneList& exclude, int32_t fullTunnel,
                                     const char* outsideScript);
    // Appends the condition that sends the bypass list's hosts direct to out
    // (nothing for an empty list). 1.
    int32_t GenerateBypassScript(std::string& out, const char* bypassList);
    // The text with the suffix appended to every FindProxyForURL name that
    // is defined or called in it; empty (and logged) for a null input.
    std::string GetConvertedString(const char* text, const char* suffix);
    // The address after an http, https or ftp scheme, the address itself
    // when it has none, null for any other scheme.
    const char* StripProxyScheme(const char* address);
    // The user's outside proxy: the stored tunnel proxy when the saved
    // settings use a script, else the manual proxy for https (or SOCKS).
    // host is a zeroed buffer of 260 bytes. 1 with a host, 0 otherwise.
    int32_t GetProxyServerAndPort(char* host, uint16_t* port, uint8_t* socks, uint8_t bIE);
    // 1 when the saved settings use a script fetched over the network; its
    // address (cut to 1023 units) goes to url when url is not null.
    int32_t IsProxyScriptInRemote(wchar_t* url);

    // ---- Firefox ------------------------------------------------------------

    int32_t IfFFBrowserProxySettingNeedChange();
    int32_t GetSavedUserFFProxySettings(uint32_t* type, wchar_t* script, wchar_t* server,
                                        wchar_t* bypass);
    // True when Firefox was started with the restore page, or no Firefox is
    // installed (nothing to restore).
    bool OnResumeFF();
    std::wstring GetFFAppPath();
    std::wstring GetFFProxyChangeParameters(const std::wstring& script, int32_t type, bool remote);

    uint8_t m_reserved;
    bool m_bAutoDetected;
};

// The value of one preference in a Firefox preference text
// ("{name=value, name=value}"); empty when absent.
std::wstring GetFFPrefValue(const std::wstring& preferences, const std::wstring& name);

// The local script that the PAC generator writes and the browser is pointed
// at, and the dial-up entry of the VPN.
constexpr const char* kLocalPacUrlFormat = "http://127.0.0.1:%d/%s";
constexpr const wchar_t* kVpnDialUpEntry = L"Quarlo Networks SSL VPN";
// GetProxyListenPort's answer when no local proxy port is configured.
constexpr int kNoProxyListenPort = 70000;

// The captured Internet Explorer settings, read as GetSavedUserIEProxySettings
// reads them (with its messages) but with the texts cut to the given bounds
// (ProxyIni::kWholeValue: whole). False when Proxy.ini is missing.
bool ReadSavedUserIESettings(ProxyIni::IECapture& saved, size_t urlUnits, size_t bypassUnits);

// Puts the user's own local script back over Proxy.pac (or removes
// Proxy.pac when there is no backup).
void RestoreProxyPacFile();
// Puts back whatever an earlier run left changed (as the resume flags say)
// and clears the flags of what was put back, then resets the capture
// (OnClear). A restore that failed keeps its flag and nothing is reset:
// false then, and the caller must not capture the live settings, which are
// still this program's.
bool ResumeChangedSettings(CBrowserProxySetting& setting);
// Resets the dial-up names this process changed (none are ever recorded).
void UnsetPPPInsideProxy();
