#include <winsock2.h>

#include "InstallThreads.h"

#include <shlwapi.h>

#include <cstdlib>

#include "ClientMessages.h"
#include "CommonFunction.h"
#include "FrontDoorBranches.h"
#include "Loglib.h"
#include "NetworkPath.h"
#include "SharedNames.h"
#include "StringUtil.h"
#include "System.h"
#include "Timing.h"

namespace {
constexpr DWORD kLaunchCommandChars = 520;
}  // namespace

void GetLaunchCommandList(CommandList& list, bool bConnected) {
    list.clear();
    const std::wstring key =
        std::wstring(kVpn2Key) + (bConnected ? L"\\ConnectedCMD" : L"\\DisconnectedCMD");
    DWORD number = 0;
    const LSTATUS status = ReadRegistryDword(HKEY_CURRENT_USER, key.c_str(), L"number", number);
    LOGW(LOG_INFO,
         L"GetLaunchCommandList :get launch command number finished, number=%d, ret=%d.\n",
         static_cast<int>(number), static_cast<int>(status));
    if (status == ERROR_SUCCESS && number > kMaxLaunchCommands) {
        LOGW(LOG_WARNING, L"GetLaunchCommandList :number %u is above %u, the rest is ignored.\n",
             static_cast<unsigned>(number), static_cast<unsigned>(kMaxLaunchCommands));
        number = kMaxLaunchCommands;
    }
    if (status == ERROR_SUCCESS) {
        for (DWORD i = 0; i < number; ++i) {
            const std::wstring name = FormatW(L"LaunchCommand%02u", static_cast<unsigned>(i));
            wchar_t command[kLaunchCommandChars] = {};
            const LSTATUS read = ReadRegistryText(HKEY_CURRENT_USER, key.c_str(), name.c_str(),
                                                  command, kLaunchCommandChars);
            LOGW(LOG_INFO,
                 L"GetLaunchCommandList :get launch command value finished, reg value name=%s, "
                 L"command value=%s, ret=%d.\n",
                 name.c_str(), command, static_cast<int>(read));
            if (read == ERROR_MORE_DATA) {
                LOGW(LOG_WARNING,
                     L"GetLaunchCommandList :launch command %s is longer than %u characters, "
                     L"it is not run.\n",
                     name.c_str(), static_cast<unsigned>(kLaunchCommandChars - 1));
            }
            if (read == ERROR_SUCCESS && command[0]) {
                list.push_back(Owners::UniqueBstr::FromText(command));
            }
        }
    }
    ::SHDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
}

// Any fixed values work as long as the client uses the same ones.
const int32_t PasswordKeyTable[32] = {
    0x5A3C, 0x1F77, 0x6B21, 0x0D94, 0x73E8, 0x2C4F, 0x49B6, 0x3E05,
    0x61DA, 0x0872, 0x57AB, 0x14C3, 0x7F19, 0x2260, 0x4D8E, 0x3B37,
    0x6E52, 0x09FD, 0x5C84, 0x1A2B, 0x78C1, 0x2F6A, 0x43D0, 0x3659,
    0x65A7, 0x0B1E, 0x5295, 0x1D4C, 0x7A33, 0x27E6, 0x4F08, 0x31BF,
};

std::string EncodePassword(std::string_view text) {
    std::string encoded;
    encoded.reserve(text.size() * 4);
    for (size_t i = 0; i < text.size(); ++i) {
        const int32_t widened = static_cast<signed char>(text[i]);
        const unsigned group = static_cast<unsigned>(widened ^ PasswordKeyTable[i % 32]) & 0xFFFF;
        encoded += FormatA("%04x", group);
    }
    return encoded;
}

std::string DecodePassword(const char* encoded) {
    if (!encoded) {
        LOGW(LOG_WARNING, L"DecodePassword: pass is null.\n");
        return {};
    }
    const size_t groups = std::char_traits<char>::length(encoded) / 4;
    std::string plain;
    plain.reserve(groups);
    for (size_t i = 0; i < groups; ++i) {
        const char digits[5] = {encoded[4 * i], encoded[4 * i + 1], encoded[4 * i + 2],
                                encoded[4 * i + 3], '\0'};
        const unsigned byte = static_cast<unsigned>(std::strtol(digits, nullptr, 16)) & 0xFF;
        const char decoded = static_cast<char>(byte ^ (PasswordKeyTable[i % 32] & 0xFF));
        if (decoded == '\0') break;  // a decoded zero ends the plain text
        plain += decoded;
    }
    return plain;
}

void BVSavePassword(const std::string& text) {
    const LSTATUS status =
        ::SHSetValueA(HKEY_CURRENT_USER, kVpn2KeyA, "EncodePassword", REG_SZ,
                      text.c_str(), static_cast<DWORD>(text.size() + 1));
    // The value decodes back to the password and the log is readable by
    // every user: only the debug switch shows it whole.
    const std::string shown = IsEnablePrintRequest() ? text : MaskedForLog(text);
    LOGW(LOG_INFO, L"BVSavePassword finished, ret:%d, value:%S.\n", static_cast<int>(status),
         shown.c_str());
}

void SetWebNoSessionFlag(DWORD flag) {
    ::SHSetValueW(HKEY_CURRENT_USER, kVpn2Key, L"BVWebNoSession", REG_DWORD, &flag, sizeof(flag));
    if (flag == 0) ::SHDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(kVpn2Key) + L"\\AAA").c_str());
}

// ---- Front-door branches ----------------------------------------------------

namespace {

void RunLaunchCommands(bool connected) {
    LOGW(LOG_INFO, connected ? L"Tavrisk: start do connected launch command.\n"
                             : L"Tavrisk: start do disconnected launch command.\n");
    CommandList list;
    GetLaunchCommandList(list, connected);
    CommandListExecute(list);
}

}  // namespace

void RunConnectCmdCommand(const FrontDoorCommand&) { RunLaunchCommands(true); }

void RunDisconnectCmdCommand(const FrontDoorCommand&) { RunLaunchCommands(false); }

void RunDisconnectSessionCommand(const FrontDoorCommand&) {
    SetWebNoSessionFlag(0);
    BVStopVPN(0);
}

void RunLogoutSessionCommand(const FrontDoorCommand&) {
    SetWebNoSessionFlag(0);
    BVStopVPN(1);
}

void RunSavePasswordCommand(const FrontDoorCommand& command) {
    std::string stored;
    if (command.argc == 3 && command.argv && command.argv[2]) {
        std::string password;
        if (ExactCodePageFromWide(command.argv[2], CP_THREAD_ACP, password)) {
            stored = EncodePassword(password);
        } else {
            // Stored in the code page's best fit it would be another password;
            // kept, the one stored before would be used for this login. The
            // empty text leaves the client to ask.
            LOGW(LOG_ERROR, L"BVSavePassword: the password has characters the ANSI code page "
                            L"cannot hold, it is not stored.\n");
        }
    }
    BVSavePassword(stored);
}

void RunLaunchBhttpdCommand(const FrontDoorCommand& command) {
    LaunchBrevantohttpd();
    if (command.argc == 3 && command.argv && command.argv[2] &&
        ::StrStrIW(command.argv[2], L"BrevantoLaunch")) {
        LOGW(LOG_INFO, L"Brevanto Launch BrevantoHttpd, no need reset CS reg.\n");
        return;
    }
    // Started at logon, not by the client: its client-security session is stale.
    LOGW(LOG_INFO, L"Auto launch BrevantoHttpd need reset CS reg.\n");
    ::SHDeleteValueW(HKEY_CURRENT_USER, kVpn2Key, L"ClientSecuritySession");
    ::SHDeleteValueW(HKEY_CURRENT_USER, kVpn2Key, L"ClientSecurityHost");
}

namespace {

constexpr const wchar_t* kBrevanto = L"Brevanto.exe";

void RunBrevantoAgain() {
    const std::wstring folder = GetModuleFolder();
    const std::wstring path = folder.empty() ? std::wstring() : folder + kBrevanto;
    if (path.empty() || path.size() >= MAX_PATH || ::GetFileAttributesW(path.c_str()) ==
                                                        INVALID_FILE_ATTRIBUTES) {
        LOGW(LOG_ERROR, L"RunBrevantoAgain: has no file with path:[%s]\n", path.c_str());
        return;
    }
    if (!ShellStartProgram(path, L"runas", SW_SHOW)) {
        LOGW(LOG_ERROR, L"RunBrevantoAgain: ShellExecuteEx error %d\n",
             static_cast<int>(::GetLastError()));
    }
}

}  // namespace

void RunRestartBrevantoCommand(const FrontDoorCommand&) {
    LOGW(LOG_INFO, L"RestartBrevanto: start restart Brevanto....\n");
    // The client may be ending by itself: give it about 3 s before stopping it.
    constexpr int kPolls = 31;
    bool ended = false;
    for (int polls = 0; polls < kPolls; ++polls) {
        if (!IsProcessRunning(kBrevanto)) {
            ended = true;
            break;
        }
        Timing::Sleep(100);
    }
    if (ended) {
        LOGW(LOG_INFO, L"RestartBrevanto: current process exit successfully.\n");
    } else {
        StopProcessByName(kBrevanto);
    }
    RunBrevantoAgain();
}

void RunRunCORVDCommand(const FrontDoorCommand&) {
    LOGW(LOG_INFO, L"Tavrisk:Run corvd start...\n");
    wchar_t dir[MAX_PATH] = {};
    GetBrevantoClientDir(dir, 0);
    const std::wstring path = std::wstring(dir) + L"\\corvd.exe";
    if (path.size() >= MAX_PATH ||
        ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        LOGW(LOG_WARNING, L"Tavrisk:Run corvd failed, corvd don't exist\n");
        return;
    }
    if (!ShellStartProgram(path, nullptr, SW_HIDE)) {
        LOGW(LOG_WARNING, L"Tavrisk:Run corvd failed.\n");
    }
}

void RunDetectNetworkCommand(const FrontDoorCommand& command) {
    if (command.argc != 4 || !command.argv || !command.argv[2] || !command.argv[3]) return;
    std::string host;
    if (!ExactCodePageFromWide(command.argv[2], CP_THREAD_ACP, host)) {
        LOGA(LOG_ERROR, "DetectNetwork: the host has characters the ANSI code page cannot hold, "
                        "it is not probed.\n");
        return;
    }
    const auto port = static_cast<int32_t>(std::wcstol(command.argv[3], nullptr, 10));
    if (IsUnderInsideNetwork(host.c_str(), port)) {
        LOGA(LOG_INFO, "LaunchBrevanto: PC is under inside network, no need launch Brevanto client.\n");
        return;
    }
    LOGA(LOG_INFO, "LaunchBrevanto: PC is under outside network, need launch Brevanto client.\n");
    const DWORD value = 1;
    const LSTATUS status = ::SHSetValueW(HKEY_CURRENT_USER, kVpn2Key, L"UnderOutsideNetwork", REG_DWORD,
                                         &value, sizeof value);
    LOGA(LOG_INFO, "DetectNetwork: Set launch flag:%d,dwRet=%d\n", static_cast<int>(value),
         static_cast<int>(status));
}
