// The base64 encoder and decoder and the NTLM routines of the proxy handshake.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <cstring>
#include <string>
#include <vector>

#include "base64.h"
#include "ntlm.h"
#include "ProxyTestSupport.h"
#include "proxy.h"

using namespace QuarloSocket;
using namespace ProxyTest;

namespace {

std::string Encode(const std::string& text) {
    std::string out;
    const int length =
        base64_encode(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out);
    EXPECT_EQ(length, static_cast<int>(out.size()));
    return out;
}

struct DecodeCase {
    const char* text;
    int result;
    const char* bytes;
};

TEST(Base64, EncodesWithPaddingAndWholeAlphabet) {
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode("a"), "YQ==");
    EXPECT_EQ(Encode("ab"), "YWI=");
    EXPECT_EQ(Encode("abc"), "YWJj");
    EXPECT_EQ(Encode("CORP\\alice:pa ss"), "Q09SUFxhbGljZTpwYSBzcw==");
    // Every value of the table, including '+' and '/'.
    std::vector<unsigned char> all;
    for (int v = 0; v < 64; v += 4) {
        const unsigned bits = (v << 18) | ((v + 1) << 12) | ((v + 2) << 6) | (v + 3);
        all.push_back(static_cast<unsigned char>(bits >> 16));
        all.push_back(static_cast<unsigned char>(bits >> 8));
        all.push_back(static_cast<unsigned char>(bits));
    }
    std::string out;
    ASSERT_EQ(base64_encode(all.data(), all.size(), out), 64);
    EXPECT_EQ(out, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    std::vector<unsigned char> back;
    ASSERT_EQ(base64_decode(out.c_str(), back), 48);
    EXPECT_EQ(back, all);
}

TEST(Base64, DecodesGroupsAndRejectsMalformedOnes) {
    const DecodeCase cases[] = {
        {"", 0, ""},
        {"YWJj", 3, "abc"},
        {"YWI=", 2, "ab"},
        {"YQ==", 1, "a"},
        {"YWJjYWJj", 6, "abcabc"},
        {"YW=j", -1, nullptr},
        {"YWJ", -1, nullptr},
        {"Y===", -1, nullptr},
        {"====", -1, nullptr},
        {"YW*j", -1, nullptr},
        // A group that starts outside the alphabet ends the text.
        {"YWJj\r\nYWJj", 3, "abc"},
        {"YWJj YWJj", 3, "abc"},
        // Nothing is read after a padded group.
        {"YWI=YWJj", 2, "ab"},
    };
    for (const DecodeCase& c : cases) {
        std::vector<unsigned char> out;
        EXPECT_EQ(base64_decode(c.text, out), c.result) << c.text;
        if (c.bytes) {
            EXPECT_EQ(std::string(out.begin(), out.end()), c.bytes) << c.text;
        }
    }
}

TEST(Base64, BasicCredentialsKeepLongPairsWhole) {
    http_proxy_context context;
    init_http_proxy_context(&context, 0, 10, 1);
    EXPECT_EQ(context.auth_method, HTTP_AUTH_NONE);
    EXPECT_EQ(context.timeout, 10);
    EXPECT_EQ(context.auth_retry, 1);
    std::memset(context.user, 'u', 127);
    std::memset(context.password, 'p', 127);
    const std::optional<std::string> encoded = basic_credentials_base64(&context);
    ASSERT_TRUE(encoded.has_value());
    std::vector<unsigned char> back;
    ASSERT_EQ(base64_decode(encoded->c_str(), back), 255);
    EXPECT_EQ(std::string(back.begin(), back.end()),
              std::string(127, 'u') + ":" + std::string(127, 'p'));
}

TEST(Ntlm, UserTextSplitsAtLastBackslash) {
    struct Case {
        const char* text;
        const char* domain;
        const char* user;
    } cases[] = {
        {"corp\\alice", "corp", "alice"},
        {"a\\b\\c", "a\\b", "c"},
        {"alice", "", "alice"},
        {"\\alice", "", "alice"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        const NtlmUserParts parts = SplitNtlmUser(c.text);
        EXPECT_EQ(parts.domain, c.domain) << c.text;
        EXPECT_EQ(parts.user, c.user) << c.text;
    }
}

TEST(Ntlm, PhasesOneAndThreeWithExplicitIdentity) {
    http_proxy_context context;
    init_http_proxy_context(&context, 0, 10, 1);
    std::strcpy(context.user, "CORP\\alice");
    std::strcpy(context.password, "Secret#1");

    const std::string negotiate = ntlm_phase_win_1(&context, "127.0.0.1");
    ASSERT_FALSE(negotiate.empty());
    ASSERT_TRUE(context.ntlm);
    EXPECT_EQ(context.ntlm->service_name, "HTTP/127.0.0.1");
    std::vector<unsigned char> type1;
    ASSERT_GT(base64_decode(negotiate.c_str(), type1), 12);
    EXPECT_EQ(NtlmMessageType(type1), 1u);

    const std::vector<unsigned char> type2 = NtlmChallengeMessage();
    std::string challenge;
    ASSERT_GT(base64_encode(type2.data(), type2.size(), challenge), 0);
    const std::string authenticate = ntlm_phase_win_3(context.ntlm.get(), challenge.c_str());
    ASSERT_FALSE(authenticate.empty());
    std::vector<unsigned char> type3;
    ASSERT_GT(base64_decode(authenticate.c_str(), type3), 64);
    EXPECT_EQ(NtlmMessageType(type3), 3u);
    EXPECT_EQ(NtlmField(type3, 28), "CORP");
    EXPECT_EQ(NtlmField(type3, 36), "alice");
    // An NTLMv2 response: longer than the 24 bytes of the old one.
    EXPECT_GT(type3[20] | (type3[21] << 8), 24);
}

TEST(Ntlm, NewPhaseOneReplacesTheEarlierState) {
    http_proxy_context context;
    init_http_proxy_context(&context, 0, 10, 1);
    std::strcpy(context.user, "CORP\\alice");
    std::strcpy(context.password, "Secret#1");
    ASSERT_FALSE(ntlm_phase_win_1(&context, "first").empty());
    const ntlm_context* first = context.ntlm.get();
    ASSERT_NE(first, nullptr);
    ASSERT_FALSE(ntlm_phase_win_1(&context, "second").empty());
    ASSERT_TRUE(context.ntlm);
    EXPECT_EQ(context.ntlm->service_name, "HTTP/second");
}

TEST(Ntlm, PhaseThreeWithoutChallengeOrStateGivesNothing) {
    EXPECT_EQ(ntlm_phase_win_3(nullptr, nullptr), "");
    EXPECT_EQ(ntlm_phase_win_3(nullptr, "TlRMTVNTUAACAAAA"), "");
    // Text that does not decode.
    ntlm_context state;
    EXPECT_EQ(ntlm_phase_win_3(&state, "***"), "");
    unsigned long length = 16;
    unsigned char out[16];
    EXPECT_EQ(ntlm_build_auth_msg_win(nullptr, out, 1, out, &length), -1);
    NtlmState slot;
    EXPECT_EQ(ntlm_build_negotiate_msg_win(&slot, "s", "", "u", "p", nullptr, &length), -1);
    EXPECT_EQ(ntlm_build_negotiate_msg_win(nullptr, "s", "", "u", "p", out, &length), -1);
}

TEST(Ntlm, LoggedOnUserCredentialsAnswerTheChallenge) {
    http_proxy_context context;
    init_http_proxy_context(&context, 0, 10, 1);
    std::strcpy(context.user, "alice");
    ASSERT_FALSE(ntlm_phase_win_1(&context, "127.0.0.1").empty());
    ASSERT_TRUE(context.ntlm);
    const std::vector<unsigned char> type2 = NtlmChallengeMessage();
    std::string challenge;
    ASSERT_GT(base64_encode(type2.data(), type2.size(), challenge), 0);
    const std::string authenticate = ntlm_phase_win_3(context.ntlm.get(), challenge.c_str());
    if (authenticate.empty() && RunningUnderWine()) {
        GTEST_SKIP() << "Wine's NTLM provider cannot answer with the logged-on user's "
                        "credentials (winbind's ntlm_auth needs an explicit password)";
    }
    EXPECT_FALSE(authenticate.empty());
}

}  // namespace
