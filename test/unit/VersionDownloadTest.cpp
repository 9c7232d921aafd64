// The version description and the OEM images from the gateway: the tunnel's
// exchange replaced by a scripted one, the proxy dialogs by scripted answers,
// the images copied by the COM double into the client's res folder.
#include <winsock2.h>

#include <deque>

#include "ClientFixture.h"
#include "ClientUpdate.h"
#include "HttpDownloader.h"
#include "InstallManagerService.h"
#include "ProxyCredentialLoop.h"
#include "ProxyCredentials.h"
#include "ProxyInfo.h"
#include "ProxyCredentialUiDouble.h"
#include "StringUtil.h"

using namespace ClientTest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

// The gateway: one answer per call from the script (the last repeats), and
// what each call asked for with the credentials it carried.
struct Gateway {
    std::vector<int32_t> script{0};
    std::vector<std::string> calls;  // "file|session|prefix|user/password/domain"
};
Gateway* g_gateway = nullptr;

int32_t ScriptedGateway(uint32_t* error, const char* session, const char* host, const char* file,
                        uint16_t, BSTR* body, ProxyInfo* info, const wchar_t* prefix) {
    Gateway& gw = *g_gateway;
    const size_t at = gw.calls.size() < gw.script.size() ? gw.calls.size() : gw.script.size() - 1;
    gw.calls.push_back(std::string(file) + "|" + session + "|" + CodePageFromWide(prefix, CP_UTF8) +
                       "|" + CodePageFromWide(info->proxyUser, CP_UTF8) + "/" +
                       CodePageFromWide(info->proxyPassword, CP_UTF8) + "/" +
                       CodePageFromWide(info->proxyDomain, CP_UTF8));
    EXPECT_STREQ(host, "gw.example");
    const int32_t result = gw.script[at];
    if (result != 0) {
        *error = static_cast<uint32_t>(result);
        return result;
    }
    const std::string bytes = std::string("bytes of ") + file;
    *body = ::SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
    return 0;
}

const std::string kL3vpn = "/prx/000/http/localhost/client_sec/l3vpn/";

class VersionDownloadTest : public ClientFixture {
protected:
    void SetUp() override {
        ClientFixture::SetUp();
        ::CreateDirectoryW((m_clientDir + L"\\res").c_str(), nullptr);
        ResetProxyInfo(g_ProxyInfo);
        g_gateway = &m_gateway;
        SetGatewayFileDownload(&ScriptedGateway);
    }
    void TearDown() override {
        SetGatewayFileDownload(nullptr);
        g_gateway = nullptr;
        ResetProxyInfo(g_ProxyInfo);
        ClientFixture::TearDown();
    }
    bool Download(const wchar_t* session, std::string& bytes, uint32_t language = 1033) {
        CThdCOMServiceManager object;
        Owners::UniqueBstr body;
        const bool ok = DownloadVersionFile(object, session, L"gw.example", 443, language, body);
        bytes = std::string(body.bytes());
        return ok;
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> files;
        for (const std::string& call : m_gateway.calls) files.push_back(call.substr(0, call.find('|')));
        return files;
    }

    // The work folder and Proxy.ini below a temporary folder of the test's own.
    TestSupport::TempDir m_temp;
    TestSupport::ScopedTempVariables m_tempVariables{m_temp.path()};
    Gateway m_gateway;
    TestSupport::ScriptedProxyCredentialUi m_ui;
};

}  // namespace

TEST_F(VersionDownloadTest, SessionBringsTheImagesIntoTheClientsResFolder) {
    std::string bytes;
    ASSERT_TRUE(Download(L"session-0123456789", bytes));
    EXPECT_EQ(bytes, "bytes of version.xml");
    EXPECT_THAT(Files(), ElementsAre("version.xml", "logo.bmp", "connected.ico", "disconnected.ico",
                                     "reconnecting.ico"));
    EXPECT_EQ(m_gateway.calls[0], "version.xml|session-0123456789|" + kL3vpn + "|//");
    for (const wchar_t* image : {L"logo.bmp", L"connected.ico", L"disconnected.ico", L"reconnecting.ico"}) {
        EXPECT_EQ(TestSupport::ReadTextFile(m_clientDir + L"\\res\\" + image),
                  "bytes of " + CodePageFromWide(image, CP_UTF8));
    }
    EXPECT_EQ(m_services.Calls("IInstallManager.CopyLocalFile").size(), 4u);
}

TEST_F(VersionDownloadTest, WithoutASessionOnlyTheDescription) {
    std::string bytes;
    ASSERT_TRUE(Download(L"", bytes));
    EXPECT_EQ(bytes, "bytes of version.xml");
    EXPECT_THAT(Files(), ElementsAre("version.xml"));
    EXPECT_THAT(m_services.Journal(), IsEmpty());
}

TEST_F(VersionDownloadTest, FailedImageIsLoggedAndIgnored) {
    m_gateway.script = {0, 2, 0, 0, 0};
    m_services.Set(ComDouble::InstallManager, L"CopyLocalFile", L"0,0x80070005,0");
    std::string bytes;
    ASSERT_TRUE(Download(L"session-0123456789", bytes));
    EXPECT_EQ(Files().size(), 5u);
    EXPECT_EQ(m_services.Calls("IInstallManager.CopyLocalFile").size(), 3u);
    EXPECT_THAT(LogText(), HasSubstr("DownloadVersionFile: down OEM file failed, iErrorCode is 2\r\n"));
    EXPECT_THAT(LogText(), HasSubstr("error 80070005\r\n"));
}

TEST_F(VersionDownloadTest, OtherErrorsEndTheDownload) {
    m_gateway.script = {10060};
    std::string bytes;
    EXPECT_FALSE(Download(L"session-0123456789", bytes));
    EXPECT_THAT(Files(), ElementsAre("version.xml"));
    EXPECT_THAT(m_ui.asked, IsEmpty());
    EXPECT_THAT(LogText(), HasSubstr("DownloadVersionFile: download version.xml failed, error is 10060\r\n"));
    EXPECT_THAT(LogText(), HasSubstr("DownloadVersionFile: download version.xml failed\r\n"));
}

// The proxy refuses: the saved credentials first, then the dialog; what the
// user entered is used and saved for the next run.
TEST_F(VersionDownloadTest, ProxyRefusalsAskAndSaveTheCredentials) {
    ASSERT_EQ(SaveProxyInfo(L"saved", L"savedpw", L"", 1, 0), 1);
    m_gateway.script = {802, 803, 0};
    m_ui.answers = {{IDOK, L"bob", L"s3cret", L"CORP"}};
    std::string bytes;
    ASSERT_TRUE(Download(L"", bytes, 2052));
    EXPECT_EQ(bytes, "bytes of version.xml");
    EXPECT_THAT(m_gateway.calls,
                ElementsAre("version.xml||" + kL3vpn + "|//", "version.xml||" + kL3vpn + "|saved/savedpw/",
                            "version.xml||" + kL3vpn + "|bob/s3cret/CORP"));
    ASSERT_EQ(m_ui.asked.size(), 1u);
    EXPECT_TRUE(m_ui.asked[0].chinese);
    EXPECT_EQ(g_ProxyInfo.bUseProxy, 1u);
    wchar_t user[kProxyInfoTextUnits] = {}, password[kProxyInfoTextUnits] = {},
            domain[kProxyInfoTextUnits] = {};
    ASSERT_EQ(GetProxyInfo(user, password, domain, 1, 0), 1);
    EXPECT_STREQ(user, L"bob");
    EXPECT_STREQ(password, L"s3cret");
    EXPECT_STREQ(domain, L"CORP");
}

TEST_F(VersionDownloadTest, CancelledDialogEndsTheDownloadWithTheBox) {
    m_gateway.script = {802};
    std::string bytes;
    EXPECT_FALSE(Download(L"session-0123456789", bytes));
    EXPECT_EQ(Files().size(), 2u) << "saved credentials once, then the dialog was cancelled";
    EXPECT_THAT(m_ui.boxes,
                ElementsAre(L"BrevantoWeb|Proxy authentication canceled by user, exit current VPN connection"));
    EXPECT_TRUE(bytes.empty());
}
