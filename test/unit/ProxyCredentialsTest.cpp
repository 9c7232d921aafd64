// Protected texts and the proxy credentials and client-security result in
// Proxy.ini.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "ProxyCredentials.h"
#include "ProxyIniTestSupport.h"
#include "StringUtil.h"

namespace {

using namespace ProxyIni;
using ProxyIniTest::UserTempTest;

// The data protection calls as the tests see them: forwarded to the real
// ones and recorded, or failed with a chosen last error.
struct ProtectionDouble {
    static inline int protectCalls = 0;
    static inline int unprotectCalls = 0;
    static inline DWORD lastFlags = 0;
    static inline std::wstring lastDescription;
    static inline bool extrasGiven = false;
    static inline bool fail = false;
    static inline DWORD failError = 0;

    static BOOL WINAPI Protect(DATA_BLOB* in, LPCWSTR description, DATA_BLOB* entropy, PVOID reserved,
                               CRYPTPROTECT_PROMPTSTRUCT* prompt, DWORD flags, DATA_BLOB* out) {
        ++protectCalls;
        lastFlags = flags;
        lastDescription = description ? description : L"(none)";
        extrasGiven = entropy || reserved || prompt;
        if (fail) {
            ::SetLastError(failError);
            return FALSE;
        }
        return ::CryptProtectData(in, description, entropy, reserved, prompt, flags, out);
    }
    static BOOL WINAPI Unprotect(DATA_BLOB* in, LPWSTR* description, DATA_BLOB* entropy,
                                 PVOID reserved, CRYPTPROTECT_PROMPTSTRUCT* prompt, DWORD flags,
                                 DATA_BLOB* out) {
        ++unprotectCalls;
        if (fail) {
            ::SetLastError(failError);
            return FALSE;
        }
        return ::CryptUnprotectData(in, description, entropy, reserved, prompt, flags, out);
    }
};
constexpr DataProtectionApi kRecorded{&ProtectionDouble::Protect, &ProtectionDouble::Unprotect};

class CredentialsTest : public UserTempTest {
protected:
    void SetUp() override {
        UserTempTest::SetUp();
        ProtectionDouble::protectCalls = ProtectionDouble::unprotectCalls = 0;
        ProtectionDouble::fail = false;
        m_protection.emplace(SetDataProtectionApiForTest, &kRecorded);
    }
    void TearDown() override {
        m_protection.reset();
        UserTempTest::TearDown();
    }
    std::optional<TestSupport::ScopedHook<const DataProtectionApi*>> m_protection;
    // What a sealed text unseals to (empty when it does not).
    static std::vector<BYTE> Unseal(const std::wstring& sealed) {
        std::vector<BYTE> bytes;
        UnprotectDataFromBase64(CodePageFromWide(sealed).c_str(), bytes);
        return bytes;
    }
    struct Read {
        int32_t result;
        std::wstring user, password, domain;
    };
    static Read ReadBack(uint32_t outside = 1) {
        wchar_t user[kProxyInfoTextUnits] = L"keep";
        wchar_t password[kProxyInfoTextUnits] = L"keep";
        wchar_t domain[kProxyInfoTextUnits] = L"keep";
        const int32_t result = GetProxyInfo(user, password, domain, outside, 0);
        return {result, user, password, domain};
    }
};

using Protection = CredentialsTest;

TEST_F(Protection, SealsForThisMachineAsBase64WithoutLineBreaks) {
    std::string data(300, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    std::string base64;
    ASSERT_EQ(ProtectDataToBase64(data.data(), static_cast<int32_t>(data.size()), base64), S_OK);
    EXPECT_EQ(ProtectionDouble::lastFlags, static_cast<DWORD>(CRYPTPROTECT_LOCAL_MACHINE));
    EXPECT_EQ(ProtectionDouble::lastDescription, L"QuarloVPN");
    EXPECT_FALSE(ProtectionDouble::extrasGiven);
    ASSERT_FALSE(base64.empty());
    EXPECT_EQ(base64.size() % 4, 0u);
    EXPECT_EQ(base64.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos)
        << base64;
    EXPECT_EQ(std::strlen(base64.c_str()), base64.size());

    std::vector<BYTE> back;
    ASSERT_EQ(UnprotectDataFromBase64(base64.c_str(), back), S_OK);
    EXPECT_EQ(std::string(back.begin(), back.end()), data);
}

TEST_F(Protection, RefusesMissingArguments) {
    std::string base64 = "stale";
    const char byte = 'x';
    EXPECT_EQ(ProtectDataToBase64(nullptr, 1, base64), E_INVALIDARG);
    EXPECT_EQ(ProtectDataToBase64(&byte, 0, base64), E_INVALIDARG);
    EXPECT_EQ(ProtectDataToBase64(&byte, -1, base64), E_INVALIDARG);
    EXPECT_EQ(base64, "");
    std::vector<BYTE> bytes{1, 2};
    EXPECT_EQ(UnprotectDataFromBase64(nullptr, bytes), E_INVALIDARG);
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(ProtectionDouble::protectCalls + ProtectionDouble::unprotectCalls, 0);
}

TEST_F(Protection, FailuresCarryTheLastErrorAndNeverReadAsSuccess) {
    std::string sealed;
    const char byte = 'x';
    ASSERT_EQ(ProtectDataToBase64(&byte, 1, sealed), S_OK);
    struct Case {
        DWORD lastError;
        HRESULT expected;
    } cases[] = {
        {ERROR_SUCCESS, E_FAIL},  // a failure that set no error is still one
        {ERROR_ACCESS_DENIED, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
        {static_cast<DWORD>(NTE_BAD_KEY), NTE_BAD_KEY},  // already an HRESULT
    };
    ProtectionDouble::fail = true;
    for (const Case& c : cases) {
        ProtectionDouble::failError = c.lastError;
        std::string base64 = "stale";
        EXPECT_EQ(ProtectDataToBase64(&byte, 1, base64), c.expected) << c.lastError;
        EXPECT_EQ(base64, "");
        std::vector<BYTE> bytes{1};
        EXPECT_EQ(UnprotectDataFromBase64(sealed.c_str(), bytes), c.expected) << c.lastError;
        EXPECT_TRUE(bytes.empty());
        std::wstring text = L"stale";
        EXPECT_EQ(ProtectStringToBase64(L"secret", text), c.expected);
        EXPECT_EQ(text, L"");
    }
}

TEST_F(Protection, AStringIsSealedWithItsNul) {
    struct Case {
        const wchar_t* text;
        std::string bytes;
    } cases[] = {
        {L"", std::string(1, '\0')},
        {L"pa ss", std::string("pa ss\0", 6)},
        {L"caf\u00e9", std::string("caf\xe9\0", 5)},  // the thread's code page (1252 here)
    };
    for (const Case& c : cases) {
        std::wstring sealed;
        ASSERT_EQ(ProtectStringToBase64(c.text, sealed), S_OK);
        const std::vector<BYTE> back = Unseal(sealed);
        EXPECT_EQ(std::string(back.begin(), back.end()), c.bytes) << CodePageFromWide(c.text);
    }
}

TEST_F(Protection, DamagedTextsDoNotUnseal) {
    std::string sealed;
    ASSERT_EQ(ProtectDataToBase64("secret", 7, sealed), S_OK);
    const std::string cases[] = {
        sealed.substr(0, sealed.size() - 8),  // cut
        sealed.substr(0, sealed.size() / 2),
        "!!!not base64!!!",
        "AAAAAAAAAAAA",  // base64, but no sealed blob
        "",
    };
    for (const std::string& text : cases) {
        std::vector<BYTE> bytes{1};
        EXPECT_TRUE(FAILED(UnprotectDataFromBase64(text.c_str(), bytes))) << text;
        EXPECT_TRUE(bytes.empty());
    }
}

using Credentials = CredentialsTest;

TEST_F(Credentials, SavedCredentialsAndCapturedSettingsSurviveEachOther) {
    ASSERT_EQ(Update(IniPath(0), L"Capture", Create::CreateIfMissing,
                     [](Editor& e) {
                         WriteIECapture(e, {0, 2, L"", L"proxy:8080", L"*.corp", L""}, {});
                         e.Set(Key::IEProxyShouldResumeDial, 1);
                     }),
              UpdateResult::Saved);
    ASSERT_EQ(SaveProxyInfo(L"alice", L"s3cret", L"CORP", 1, 0), 1);
    {
        const Reader file(IniPath(0));
        EXPECT_EQ(ReadSavedIESettings(file).server, L"proxy:8080");
        EXPECT_EQ(ReadSavedIESettings(file).bypass, L"*.corp");
        EXPECT_EQ(file.Get(Key::IEProxyShouldResumeDial, 0), 1);
        // Never in plain text.
        const std::wstring stored = file.Get(PassWordKey(1), kWholeValue);
        EXPECT_EQ(stored.find(L"s3cret"), std::wstring::npos);
        const std::vector<BYTE> plain = Unseal(stored);
        EXPECT_EQ(std::string(plain.begin(), plain.end()), std::string("s3cret\0", 7));
    }
    // A later capture keeps the credentials.
    ASSERT_EQ(Update(IniPath(0), L"Capture", Create::CreateIfMissing,
                     [](Editor& e) { WriteIECapture(e, {0, 1, L"", L"", L"", L""}, {}); }),
              UpdateResult::Saved);
    const Read back = ReadBack();
    EXPECT_EQ(back.result, 1);
    EXPECT_EQ(back.user, L"alice");
    EXPECT_EQ(back.password, L"s3cret");
    EXPECT_EQ(back.domain, L"CORP");

    // The inside section is a store of its own.
    ASSERT_EQ(SaveProxyInfo(L"bob", L"inner", L"", 0, 0), 1);
    EXPECT_EQ(ReadBack(0).user, L"bob");
    EXPECT_EQ(ReadBack(0).password, L"inner");
    EXPECT_EQ(ReadBack(1).user, L"alice");
}

TEST_F(Credentials, TheFirstSaveCreatesTheFile) {
    ASSERT_FALSE(TestSupport::FileExists(IniPath(0)));
    EXPECT_EQ(SaveProxyInfo(L"alice", L"pw", L"", 1, 0), 1);
    EXPECT_TRUE(TestSupport::FileExists(IniPath(0)));
    EXPECT_NE(LogText().find("SaveProxyInfo: " + CodePageFromWide(IniPath(0)) + " is not exist"),
              std::string::npos);
    EXPECT_EQ(ReadBack().password, L"pw");
}

TEST_F(Credentials, AnEmptyPasswordIsStoredSealedAndReadsBackEmpty) {
    ASSERT_EQ(SaveProxyInfo(L"alice", L"", L"CORP", 1, 0), 1);
    const std::wstring stored = RawValue(IniPath(0), PassWordKey(1));
    EXPECT_FALSE(stored.empty());
    EXPECT_EQ(Unseal(stored), std::vector<BYTE>{0});
    const Read back = ReadBack();
    EXPECT_EQ(back.result, 1);
    EXPECT_EQ(back.user, L"alice");
    EXPECT_EQ(back.password, L"");
}

TEST_F(Credentials, ADamagedPasswordReadsEmptyWithUserAndDomain) {
    ASSERT_EQ(SaveProxyInfo(L"alice", L"s3cret", L"CORP", 1, 0), 1);
    const std::wstring sealed = RawValue(IniPath(0), PassWordKey(1));
    const std::wstring cases[] = {
        sealed.substr(0, sealed.size() - 6),
        sealed.substr(0, 40),
        L"%%%%not-base64%%%%",
        L"QUJDREVGR0g=",  // "ABCDEFGH": base64, not sealed
    };
    for (const std::wstring& damaged : cases) {
        ASSERT_EQ(Update(IniPath(0), L"Test", Create::ExistingOnly,
                         [&](Editor& e) { e.Set(PassWordKey(1), damaged); }),
                  UpdateResult::Saved);
        const Read back = ReadBack();
        EXPECT_EQ(back.result, 1) << CodePageFromWide(damaged);
        EXPECT_EQ(back.password, L"") << CodePageFromWide(damaged);
        EXPECT_EQ(back.user, L"alice");
        EXPECT_EQ(back.domain, L"CORP");
    }
}

TEST_F(Credentials, NoStoredPasswordMeansNoUnsealing) {
    ASSERT_EQ(Update(IniPath(0), L"Test", Create::CreateIfMissing,
                     [](Editor& e) { e.Set(UserNameKey(1), L"alice"); }),
              UpdateResult::Saved);
    const Read back = ReadBack();
    EXPECT_EQ(back.result, 1);
    EXPECT_EQ(back.user, L"alice");
    EXPECT_EQ(back.password, L"");
    EXPECT_EQ(back.domain, L"");
    EXPECT_EQ(ProtectionDouble::unprotectCalls, 0);
}

TEST_F(Credentials, TheLogNeverShowsThePassword) {
    ASSERT_EQ(SaveProxyInfo(L"alice", L"Hunter2-secret", L"CORP", 1, 0), 1);
    ASSERT_EQ(ReadBack().password, L"Hunter2-secret");
    const std::string log = LogText();
    EXPECT_NE(log.find("GetProxyInfo:uname:alice, pwd:*****, domain:CORP"), std::string::npos) << log;
    EXPECT_EQ(log.find("Hunter2"), std::string::npos) << log;
    EXPECT_EQ(log.find(CodePageFromWide(RawValue(IniPath(0), PassWordKey(1)))), std::string::npos);
}

TEST_F(Credentials, AMissingFileLeavesTheOutputsAlone) {
    const Read back = ReadBack();
    EXPECT_EQ(back.result, 0);
    EXPECT_EQ(back.user, L"keep");
    EXPECT_EQ(back.password, L"keep");
    EXPECT_EQ(back.domain, L"keep");
    EXPECT_NE(LogText().find("GetProxyInfo: file " + CodePageFromWide(IniPath(0)) + " is not exist."),
              std::string::npos);
}

TEST_F(Credentials, EmptyCredentialsAreReportedAsNull) {
    ASSERT_EQ(SaveProxyInfo(L"", L"", L"", 1, 0), 1);
    EXPECT_EQ(ReadBack().result, 1);
    EXPECT_NE(LogText().find("GetProxyInfo: all info are null"), std::string::npos);
}

TEST_F(Credentials, ASaveThatDidNotReachTheDiskReturnsZero) {
    // A file that cannot be written over.
    ASSERT_EQ(SaveProxyInfo(L"alice", L"old", L"", 1, 0), 1);
    ASSERT_TRUE(::SetFileAttributesW(IniPath(0).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(SaveProxyInfo(L"bob", L"new", L"", 1, 0), 0);
    ::SetFileAttributesW(IniPath(0).c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_NE(LogText().find("SaveProxyInfo: failed to write to disk, error is "), std::string::npos);
    EXPECT_EQ(ReadBack().user, L"alice");

    // A file that cannot be created.
    ASSERT_TRUE(::DeleteFileW(IniPath(0).c_str()));
    ASSERT_TRUE(::RemoveDirectoryW(ConfDir(L"VPN").c_str()));
    ASSERT_TRUE(::RemoveDirectoryW(m_temp.File(L"Low").c_str()));
    ASSERT_TRUE(::CloseHandle(::CreateFileW(m_temp.File(L"Low").c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_NEW, 0, nullptr)));
    EXPECT_EQ(SaveProxyInfo(L"bob", L"new", L"", 1, 0), 0);
    EXPECT_NE(LogText().find("SaveProxyInfo: Create configure file failed. File = "),
              std::string::npos);
}

TEST_F(Credentials, ASealingFailureStillStoresUserAndDomain) {
    ProtectionDouble::fail = true;
    ProtectionDouble::failError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(SaveProxyInfo(L"alice", L"pw", L"CORP", 1, 0), 1);
    EXPECT_EQ(RawValue(IniPath(0), PassWordKey(1)), L"");
    ProtectionDouble::fail = false;
    const Read back = ReadBack();
    EXPECT_EQ(back.user, L"alice");
    EXPECT_EQ(back.domain, L"CORP");
    EXPECT_EQ(back.password, L"");
}

// A sealed text far longer than the 1040 units it once had to fit is stored
// whole; a password longer than the record holds is then refused, not cut.
TEST_F(Credentials, ALongPasswordIsSealedWholeAndNeverHandedOutCut) {
    const std::wstring password(700, L'p');
    ASSERT_EQ(SaveProxyInfo(L"alice", password.c_str(), L"CORP", 1, 0), 1);
    const std::wstring stored = RawValue(IniPath(0), PassWordKey(1));
    EXPECT_GT(stored.size(), kPasswordUnits);
    const std::vector<BYTE> plain = Unseal(stored);
    EXPECT_EQ(plain.size(), password.size() + 1);
    const Read back = ReadBack();
    EXPECT_EQ(back.result, 1);
    EXPECT_EQ(back.user, L"alice");
    EXPECT_EQ(back.password, L"");
    EXPECT_NE(LogText().find("GetProxyInfo: password has 700 characters"), std::string::npos);

    const std::wstring longest(kProxyInfoTextUnits - 1, L'q');
    ASSERT_EQ(SaveProxyInfo(L"alice", longest.c_str(), L"CORP", 1, 0), 1);
    EXPECT_EQ(ReadBack().password, longest);
}

using ClientSecurity = CredentialsTest;

TEST_F(ClientSecurity, BothCopiesHoldTheSealedEmptyText) {
    // A copy that exists already keeps its other keys.
    ASSERT_EQ(Update(ClientSecurityIniPath(1), L"Test", Create::CreateIfMissing,
                     [](Editor& e) { e.Set(UserNameKey(1), L"other"); }),
              UpdateResult::Saved);
    SaveClientSecurityResult(L"");
    const std::wstring mine = RawValue(IniPath(1), Key::Result);
    const std::wstring old = RawValue(ClientSecurityIniPath(1), Key::Result);
    EXPECT_FALSE(mine.empty());
    EXPECT_EQ(old, mine);
    EXPECT_EQ(Unseal(mine), std::vector<BYTE>{0});
    EXPECT_EQ(RawValue(ClientSecurityIniPath(1), UserNameKey(1)), L"other");
    EXPECT_EQ(ProtectionDouble::protectCalls, 1);
    const std::string log = LogText();
    EXPECT_NE(log.find("SaveClientSecurityResult to " + CodePageFromWide(IniPath(1))),
              std::string::npos);
    EXPECT_NE(log.find("SaveOldClientSecurityResult to " + CodePageFromWide(ClientSecurityIniPath(1))),
              std::string::npos);
    // Nothing of the kind-0 folder is touched.
    EXPECT_FALSE(TestSupport::FileExists(IniPath(0)));
}

}  // namespace
