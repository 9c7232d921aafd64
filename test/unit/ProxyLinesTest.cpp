// How the handshake reads the proxy's lines and names the CONNECT target.
#include <gtest/gtest.h>

#include "proxy.h"

using namespace QuarloSocket;

namespace {

TEST(ProxyLines, TargetHostGetsTheBracketsItLacks) {
    EXPECT_EQ(ProxyHostText("fe80::1"), "[fe80::1]");
    EXPECT_EQ(ProxyHostText("[::1]"), "[::1]");
    EXPECT_EQ(ProxyHostText("[::1"), "[::1]");
    EXPECT_EQ(ProxyHostText("::1]"), "[::1]");
    EXPECT_EQ(ProxyHostText("gw.example.test"), "gw.example.test");
    EXPECT_EQ(ProxyHostText("10.0.0.1"), "10.0.0.1");
}

TEST(ProxyLines, StatusIsTheSecondWord) {
    struct Case {
        const char* line;
        bool ok;
        int status;
    } cases[] = {
        {"HTTP/1.1 200 Connection established", true, 200},
        {"HTTP/1.0 407 Proxy Authentication Required", true, 407},
        {"HTTP/1.1   403", true, 403},
        {"garbage", false, 0},
        {"HTTP/1.1 OK", false, 0},
        {"", false, 0},
    };
    for (const Case& c : cases) {
        int status = 0;
        EXPECT_EQ(ParseProxyStatus(c.line, &status), c.ok) << c.line;
        if (c.ok) {
            EXPECT_EQ(status, c.status) << c.line;
        }
    }
}

TEST(ProxyLines, AuthenticateLineNamesBasicOrNtlmWithoutRegardToCase) {
    std::optional<std::string> challenge;
    EXPECT_EQ(ProxyAuthenticateMethodOf("Proxy-Authenticate: Basic realm=x", &challenge),
              HTTP_AUTH_BASIC);
    EXPECT_EQ(challenge, "realm=x");
    EXPECT_EQ(ProxyAuthenticateMethodOf("proxy-authenticate: BASIC realm=\"q\"", &challenge),
              HTTP_AUTH_BASIC);
    EXPECT_EQ(challenge, "realm=\"q\"");
    EXPECT_EQ(ProxyAuthenticateMethodOf("PROXY-AUTHENTICATE: ntlm", &challenge), HTTP_AUTH_NTLM);
    EXPECT_FALSE(challenge.has_value());
    for (const char* other : {"Proxy-Authenticate: Negotiate", "Proxy-Authenticate: Digest x=1",
                              "Proxy-Authenticate: Basic", "WWW-Authenticate: Basic realm=x",
                              "Proxy-Authenticate:Basic realm=x"}) {
        EXPECT_EQ(ProxyAuthenticateMethodOf(other, nullptr), HTTP_AUTH_NONE) << other;
    }
}

TEST(ProxyLines, NtlmChallengeIsTheThirdWordWhateverItsLength) {
    const std::string token(3000, 'A');
    EXPECT_EQ(NtlmChallengeOf("Proxy-Authenticate: NTLM " + token), token);
    EXPECT_EQ(NtlmChallengeOf("Proxy-Authenticate: NTLM"), std::nullopt);
    EXPECT_EQ(NtlmChallengeOf("Proxy-Authenticate: Basic realm=x"), std::nullopt);
    EXPECT_EQ(NtlmChallengeOf("Proxy-Connection: Keep-Alive"), std::nullopt);
    // Only a Proxy-Authenticate field names the challenge, in any letter case.
    EXPECT_EQ(NtlmChallengeOf("X-Note: NTLM " + token), std::nullopt);
    EXPECT_EQ(NtlmChallengeOf("proxy-authenticate: ntlm abc"), "abc");
}

}  // namespace
