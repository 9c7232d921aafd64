#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <winsock2.h>
#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "DownLoaderManager.h"
#include "Loglib.h"
#include "Owners.h"
#include "TransportDoubles.h"
#include "StringUtil.h"
#include "DayLogTest.h"
#include "TestSupport.h"

using namespace QuarloSocket;
using namespace TestSupport;
using TestDoubles::ManualTicks;
using TestDoubles::ScriptedTransport;
using ::testing::ElementsAre;
using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::Le;
using ::testing::Not;

namespace {

// A fixed day for the log and a tick count that only the scripts move.
class GatewayClock : public FixedTimeSource {
public:
    explicit GatewayClock(ManualTicks* ticks)
        : FixedTimeSource(MakeTime(2033, 4, 2, 10, 0, 0, 0)), m_ticks(ticks) {}
    ULONGLONG TickCount() override { return m_ticks->now; }

private:
    ManualTicks* m_ticks;
};

class GatewayHttpTest : public TestSupport::DayLogTest {
protected:
    GatewayHttpTest() : DayLogTest(&m_clock, L"2033-04-02") {}
    std::string Log() const { return m_log.Text(); }

    struct Exchange {
        bool ok = false;
        std::string sent, head, body;
    };
    Exchange Run(const std::string& request, DownLoadVariant variant = DownLoadVariant::File) {
        Exchange e;
        e.ok = DownLoadWeb(&transport, request.c_str(), e.sent, e.head, e.body, variant);
        return e;
    }

    ManualTicks m_ticks;
    GatewayClock m_clock{&m_ticks};
    ScriptedTransport transport{&m_ticks};
};

const std::string kGet =
    "GET /prx/000/http/localhost/client_sec/l3vpn/version.xml HTTP/1.1\r\nHost: gw.example\r\n"
    "Connection: Keep-Alive\r\nCookie: KZsession=old;KZStandalone=true\r\n\r\n";

std::string Reply(const std::string& status, const std::string& headers, const std::string& body = "") {
    return "HTTP/1.1 " + status + "\r\n" + headers + "\r\n" + body;
}

std::string WithLength(const std::string& body) {
    return Reply("200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n", body);
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

// ---- The request texts ----------------------------------------------------

struct FileGetCase {
    const char* fileName;
    const char* session;
    const char* cookieLine;
};

TEST(GatewayRequestTest, FileGetIsByteExactAndAddsTheStandaloneFlagOnlyWhenAbsent) {
    const FileGetCase cases[] = {
        {"version.xml", "KZsession=abc", "Cookie: KZsession=abc;KZStandalone=true\r\n\r\n"},
        {"version.xml", "KZsession=abc;kzstandalone=1", "Cookie: KZsession=abc;kzstandalone=1\r\n\r\n"},
        {"version.xml", "", "Cookie: ;KZStandalone=true\r\n\r\n"},
        {"KZSTANDALONE.cab", "KZsession=abc", "Cookie: KZsession=abc\r\n\r\n"},
    };
    for (const auto& c : cases) {
        std::string request;
        ASSERT_TRUE(BuildFileGetRequest(kDefaultUrlPrefix, c.fileName, "gw.example", c.session, request));
        EXPECT_EQ(request, std::string("GET /prx/000/http/localhost/client_sec/l3vpn/") + c.fileName +
                               " HTTP/1.1\r\nHost: gw.example\r\nConnection: Keep-Alive\r\n" + c.cookieLine)
            << c.session;
    }
}

TEST(GatewayRequestTest, ReportPostCountsTheLeadingLineBreakOfItsBody) {
    std::string request;
    ASSERT_TRUE(BuildReportPostRequest("/callhome", "Authorization: Basic dTpw", "gw.example", 443, "{}",
                                       request));
    EXPECT_EQ(request,
              "POST /callhome HTTP/1.1\r\nAuthorization: Basic dTpw\r\nHost:gw.example:443\r\n"
              "Content-Length: 4\r\nConnection: Keep-Alive\r\nContent-Type: application/json\r\n"
              "\r\n\r\n{}");
}

TEST(GatewayRequestTest, ControlCharactersAndBlanksInTargetsAreRefused) {
    using namespace std::string_literals;
    struct Case {
        std::string prefix, file, host, session;
        bool accepted;
    };
    const Case cases[] = {
        {kDefaultUrlPrefix, "a.xml", "gw\r\nX: 1", "s", false},
        {kDefaultUrlPrefix, "a.xml\n", "gw", "s", false},
        {kDefaultUrlPrefix, "a.xml", "gw", "KZsession=1\r\nEvil: 1", false},
        {kDefaultUrlPrefix, "a.xml", "gw", "KZsession=1\nEvil: 1", false},
        {"/p\r/", "a.xml", "gw", "s", false},
        {kDefaultUrlPrefix, "a\0.xml"s, "gw", "s", false},
        {kDefaultUrlPrefix, "a.xml", "gw", "KZsession=1\0x"s, false},
        {kDefaultUrlPrefix, "a\x01.xml", "gw", "s", false},
        {kDefaultUrlPrefix, "a\x7f.xml", "gw", "s", false},
        {kDefaultUrlPrefix, "a.xml", "gw", "KZsession=1\t", false},
        {kDefaultUrlPrefix, "a.xml HTTP/1.1 /other", "gw", "s", false},
        {"/p q/", "a.xml", "gw", "s", false},
        {kDefaultUrlPrefix, "a.xml", "gw x", "s", false},
        {kDefaultUrlPrefix, "a.xml", "gw", "KZsession=1; other=2", true},
        {kDefaultUrlPrefix, "caf\xe9.xml", "gw", "s", true},
    };
    for (const Case& c : cases) {
        std::string request = "untouched";
        EXPECT_EQ(BuildFileGetRequest(c.prefix, c.file, c.host, c.session, request), c.accepted)
            << EscapeForLog(c.prefix + c.file + "|" + c.host + "|" + c.session);
        if (!c.accepted) {
            EXPECT_EQ(request, "untouched");
        }
    }
    std::string request = "untouched";
    EXPECT_FALSE(BuildReportPostRequest("/c\n", "Authorization: Basic x", "gw", 443, "{}", request));
    EXPECT_FALSE(BuildReportPostRequest("/c d", "Authorization: Basic x", "gw", 443, "{}", request));
    EXPECT_FALSE(BuildReportPostRequest("/c", "Authorization: Basic x\r\nX: 1", "gw", 443, "{}", request));
    EXPECT_FALSE(BuildReportPostRequest("/c", "Authorization: Basic x\x1b", "gw", 443, "{}", request));
    EXPECT_FALSE(BuildReportPostRequest("/c", "Authorization: Basic x", "gw\r", 443, "{}", request));
    EXPECT_EQ(request, "untouched");
    EXPECT_TRUE(BuildReportPostRequest("/c", "Authorization: Basic x", "gw", 443, "{\r\n}", request))
        << "the JSON body may hold line breaks";
}

TEST(GatewayRequestTest, RedirectKeepsOnlyTheSessionTokenAndThePathOfTheSameHost) {
    const std::string head =
        "HTTP/1.1 302 Found\r\nSet-Cookie: KZsession=xyz; path=/; secure\r\n"
        "Location: https://GW.example:443/x\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(BuildRedirectRequest(kGet.c_str(), head.c_str()),
              "GET /x HTTP/1.1\r\nHost: gw.example\r\nConnection: Keep-Alive\r\n"
              "Cookie: KZsession=xyz;KZStandalone=true\r\n\r\n");
}

TEST(GatewayRequestTest, RedirectAfterThePostKeepsItsHostAndHasNoCookie) {
    std::string post;
    ASSERT_TRUE(BuildReportPostRequest("/callhome", "Authorization: Basic dTpw", "gw.example", 443, "{}", post));
    EXPECT_EQ(BuildRedirectRequest(post.c_str(), "HTTP/1.1 302 Found\r\nLocation: /callhome2\r\n\r\n"),
              "GET /callhome2 HTTP/1.1\r\nHost: gw.example:443\r\nConnection: Keep-Alive\r\n"
              "Cookie: ;KZStandalone=true\r\n\r\n");
}

TEST(GatewayRequestTest, RedirectTargetOfEachKindOfLocation) {
    struct Case {
        const char* location;
        const char* target;
    };
    const Case cases[] = {
        {"/relative/path", "/relative/path"},
        {"https://gw.example/a/b?c=d", "/a/b?c=d"},
        {"HTTPS://Gw.Example:8443/a", "/a"},
        {"https://user@gw.example/a#frag", "/a"},
        {"https://gw.example", "/"},
        {"https://gw.example?q=1", "/?q=1"},
        {"https://other.example/a", "https://other.example/a"},
        {"https://gw.example.evil/a", "https://gw.example.evil/a"},
        {"/a?next=gw.example/b", "/a?next=gw.example/b"},
        {"", ""},
    };
    for (const auto& c : cases) {
        const std::string head = std::string("HTTP/1.1 302 Found\r\nLocation: ") + c.location + "\r\n\r\n";
        EXPECT_EQ(GetRequestTarget(BuildRedirectRequest(kGet.c_str(), head.c_str()).c_str()), c.target)
            << c.location;
    }
    const std::string v6 = "GET /a HTTP/1.1\r\nHost: [::1]:443\r\nCookie: s\r\n\r\n";
    EXPECT_EQ(GetRequestTarget(
                  BuildRedirectRequest(v6.c_str(), "HTTP/1.1 302 F\r\nLocation: https://[::1]/z\r\n\r\n").c_str()),
              "/z");
}

TEST(GatewayRequestTest, SessionTokenComesOnlyFromSetCookieAndEndsAtTheSemicolonOrTheLineEnd) {
    struct Case {
        const char* head;
        const char* token;
    };
    const Case cases[] = {
        {"HTTP/1.1 302 Found\r\nLocation: /x;KZsession=attacker\r\nSet-Cookie: KZsession=real; path=/\r\n\r\n",
         "KZsession=real"},
        {"HTTP/1.1 302 Found\r\nLocation: /x;KZsession=attacker\r\n\r\n", ""},
        {"HTTP/1.1 302 Found\r\nX-Set-Cookie: KZsession=x\r\n\r\n", ""},
        {"HTTP/1.1 302 Found\r\nSet-Cookie: lang=en\r\nset-cookie: KZsession=second\r\n\r\n", "KZsession=second"},
        {"HTTP/1.1 302 Found\r\nSet-Cookie: a=1; path=/KZsession\r\n\r\n", ""},
        {"HTTP/1.1 302 Found\r\n\r\nSet-Cookie: KZsession=inbody\r\n", ""},
        {"HTTP/1.1 302 Found\r\nSet-Cookie: KZsession=abc; path=/\r\n\r\n", "KZsession=abc"},
        {"HTTP/1.1 302 Found\r\nSet-Cookie: KZsession=abc\r\nLocation: /x; y\r\n\r\n", "KZsession=abc"},
        {"HTTP/1.1 302 Found\r\nSet-Cookie: a=1;;; KZsession=q;x\r\n\r\n", "KZsession=q"},
        {"HTTP/1.1 302 Found\r\nSet-Cookie: kzsession=abc;\r\n\r\n", ""},
        {"HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(GetSessionCookie(c.head), c.token) << c.head;
}

TEST(GatewayRequestTest, RedirectsThatWouldInjectOrSpoofAreRefused) {
    const std::string heads[] = {
        "HTTP/1.1 302 Found\r\nLocation: /x\nCookie: KZsession=attacker\r\n\r\n",
        "HTTP/1.1 302 Found\r\nLocation: /x\rEvil: 1\r\n\r\n",
        "HTTP/1.1 302 Found\r\nLocation: /prx/000/http/localhost/client_sec/l3vpn/version.xml HTTP/1.1 /other\r\n\r\n",
        "HTTP/1.1 302 Found\r\nSet-Cookie: KZsession=a\nEvil: 1\r\nLocation: /x\r\n\r\n",
    };
    for (const std::string& head : heads) {
        std::string previous = kGet;
        EXPECT_EQ(BuildRedirectRequest(previous.c_str(), head.c_str()), "") << EscapeForLog(head);
    }
}

TEST(GatewayRequestTest, RedirectTargetsAreComparedWhole) {
    const std::string spoofed =
        "GET /prx/000/http/localhost/client_sec/l3vpn/version.xml HTTP/1.1 /other HTTP/1.1\r\n"
        "Host: gw.example\r\n\r\n";
    EXPECT_EQ(GetRequestTarget(spoofed.c_str()),
              "/prx/000/http/localhost/client_sec/l3vpn/version.xml HTTP/1.1 /other");
    BSTR buffer = nullptr;
    EXPECT_EQ(FinishGatewayExchange(true, kGet, spoofed, "EVIL", &buffer), DownloadResult_Redirected);
    EXPECT_EQ(buffer, nullptr);
}

// ---- Lookups --------------------------------------------------------------

TEST(GatewayLookupTest, HeaderNamesMatchAtLineStartsInAnyCase) {
    const char* head =
        "HTTP/1.1 200 OK X-Length: 9\r\nX-Content-Length: 7\r\ncontent-length:12  \r\n"
        "Location:\t /a \r\n\r\nContent-Type: in the body\r\n";
    EXPECT_EQ(GetReplyHeaderField(head, "Content-Length: "), "12");
    EXPECT_EQ(GetReplyHeaderField(head, "Content-Length"), "12");
    EXPECT_EQ(GetLocationField(head), "/a");
    EXPECT_EQ(GetReplyHeaderField(head, "Content-Type: "), "") << "the body is no header";
    EXPECT_EQ(GetReplyHeaderField(head, "Length: "), "");
    EXPECT_EQ(GetReplyHeaderField("HTTP/1.1 200 OK\r\nLocation: /a", "Location: "), "")
        << "no line end after the value";
    EXPECT_EQ(GetReplyHeaderField(nullptr, "Location: "), "");
    EXPECT_EQ(GetHostField(kGet.c_str()), "gw.example");
    EXPECT_EQ(GetCookieField(kGet.c_str()), "KZsession=old;KZStandalone=true");
    EXPECT_EQ(GetCookieField("GET /Cookie: x HTTP/1.1\r\nHost: h\r\n\r\n"), "")
        << "the request line is no header";
}

TEST(GatewayLookupTest, StatusCodeAndRequestTarget) {
    EXPECT_EQ(AnalyzeReplyHead("HTTP/1.1 200 OK\r\n\r\n"), 200);
    EXPECT_EQ(AnalyzeReplyHead("HTTP/1.0 302 Found\r\n\r\n"), 302);
    EXPECT_EQ(AnalyzeReplyHead("HTTP/1.1 abc\r\n\r\n"), 0);
    EXPECT_EQ(AnalyzeReplyHead("ICY 200 OK\r\n\r\n"), 0);
    // Exactly three digits, then a blank or the line end, on the first line.
    struct Case {
        const char* head;
        int status;
    } cases[] = {
        {"HTTP/1.1 200\r\n\r\n", 200},
        {"HTTP/1.1 2000 OK\r\n\r\n", 0},
        {"HTTP/1.1 20 OK\r\n\r\n", 0},
        {"HTTP/1.1 20x OK\r\n\r\n", 0},
        {"HTTP/1.1 200OK\r\n\r\n", 0},
        {"HTTP/1.1 +20 OK\r\n\r\n", 0},
        {"HTTP/1.1 -200 OK\r\n\r\n", 0},
        {"HTTP/1.1  200 OK\r\n\r\n", 0},
        {"HTTP/1.1 20\r\n0 OK\r\n\r\n", 0},
        {"X-Junk: 1\r\nHTTP/1.1 200 OK\r\n\r\n", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(AnalyzeReplyHead(c.head), c.status) << EscapeForLog(c.head);
    EXPECT_EQ(AnalyzeReplyHead(nullptr), 0);
    EXPECT_EQ(GetRequestTarget(kGet.c_str()), "/prx/000/http/localhost/client_sec/l3vpn/version.xml");
    EXPECT_EQ(GetRequestTarget("GET HTTP/1.1\r\n"), "") << "computed length -1";
    EXPECT_EQ(GetRequestTarget("GET  HTTP/1.1\r\n"), "") << "computed length 0";
    EXPECT_EQ(GetRequestTarget("GET /a HTTP/1.0\r\n"), "");
    EXPECT_EQ(GetRequestTarget("GET\r\n"), "");
}

// ---- The exchange ---------------------------------------------------------

TEST_F(GatewayHttpTest, AWholeReplyInOneReadEndsAtOnceInBothVariants) {
    for (DownLoadVariant variant : {DownLoadVariant::File, DownLoadVariant::Report}) {
        ScriptedTransport t(&m_ticks);
        t.Then(WithLength("hello"));
        std::string sent, head, body;
        EXPECT_TRUE(DownLoadWeb(&t, kGet.c_str(), sent, head, body, variant));
        EXPECT_EQ(body, "hello");
        EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n");
        EXPECT_EQ(sent, kGet);
        EXPECT_THAT(t.sent, ElementsAre(kGet));
        EXPECT_THAT(t.asked, ElementsAre(1024u)) << "no read after the complete reply";
        EXPECT_THAT(t.readTimeouts, Each(300000u));
        EXPECT_THAT(t.sendTimeouts, ElementsAre(30000u));
    }
    const std::string log = Log();
    EXPECT_THAT(log, HasSubstr("DownLoaderManager.cpp:"));
    EXPECT_THAT(log, HasSubstr("(INFO): DownLoaderManager.cpp"));
    EXPECT_THAT(log, HasSubstr("DownLoadFile: Send data to SP success!"));
    EXPECT_THAT(log, HasSubstr("DownLoadFile: Request web successfully --- http code 200"));
    EXPECT_THAT(log, HasSubstr("DownLoadFile: Request web successfully\r\n"));
    EXPECT_THAT(log, HasSubstr("strRecvTmp: HTTP/1.1 200 OK"));
    EXPECT_THAT(log, HasSubstr("size: 0\r\n"));
    EXPECT_THAT(log, Not(HasSubstr("Location = "))) << "the request is logged only with the debug switch";
}

TEST_F(GatewayHttpTest, BodyReadsNeverAskForBytesPastTheContentLength) {
    const std::string body = Pattern(3000);
    const std::string reply = WithLength(body);
    const size_t headLength = reply.size() - body.size();
    const std::string stray = "HTTP/1.1 200 OK\r\nstray bytes";
    // 2900 bytes are due after the first read; the last piece holds more.
    transport.Then(reply.substr(0, headLength + 100))
        .Then(reply.substr(headLength + 100, 1000))
        .Then(reply.substr(headLength + 1100, 1000))
        .Then(reply.substr(headLength + 2100) + stray);
    const Exchange e = Run(kGet);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.body, body);
    // Each body read asks for all that is still due, up to one record's plain text.
    EXPECT_THAT(transport.asked, ElementsAre(1024u, 2900u, 1900u, 900u));
    EXPECT_EQ(transport.UnreadBytes(), stray.size());
}

TEST_F(GatewayHttpTest, BytesPastTheContentLengthAreNotPartOfTheBody) {
    transport.Then(WithLength("abc") + "HTTP/1.1 200 OK\r\n");
    const Exchange e = Run(kGet);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.body, "abc");
}

TEST_F(GatewayHttpTest, ContentLengthMustBeAPlainNumberWithinRange) {
    const char* invalid[] = {"-1", "abc", "12abc", "+5", "", "1 2", "99999999999999999999", "2147483648"};
    for (const char* value : invalid) {
        ScriptedTransport t(&m_ticks);
        t.Then(Reply("200 OK", std::string("Content-Length: ") + value + "\r\n", "abc"));
        std::string sent, head, body;
        EXPECT_FALSE(DownLoadWeb(&t, kGet.c_str(), sent, head, body)) << value;
        EXPECT_THAT(t.asked, ElementsAre(1024u)) << value;
    }
    EXPECT_THAT(Log(), HasSubstr("(ERROR): DownLoaderManager.cpp"));
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: The Content-Length is invalid!"));

    transport.Then(Reply("200 OK", "content-length:\t 3 \r\n", "abc"));
    const Exchange e = Run(kGet);
    EXPECT_TRUE(e.ok);
    EXPECT_EQ(e.body, "abc");
}

TEST_F(GatewayHttpTest, WithoutContentLengthTheBodyRunsToTheEndOfTheStream) {
    for (DownLoadVariant variant : {DownLoadVariant::File, DownLoadVariant::Report}) {
        ScriptedTransport t(&m_ticks);
        t.Then(Reply("200 OK", "Connection: close\r\n", "first ")).Then("second ").Then("third").ThenFail();
        std::string sent, head, body;
        EXPECT_TRUE(DownLoadWeb(&t, kGet.c_str(), sent, head, body, variant));
        EXPECT_EQ(body, "first second third");
    }
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: The specified HTTP header filed Content-Length:  isn't found!"));
}

TEST_F(GatewayHttpTest, AnEndedStreamIsAFailureWhenTheTransportSaysSoOrTheWaitRanOut) {
    {
        ScriptedTransport t(&m_ticks);
        t.Then(Reply("200 OK", "", "part")).ThenFail(TransportError_RenegotiationFailed);
        std::string sent, head, body;
        EXPECT_FALSE(DownLoadWeb(&t, kGet.c_str(), sent, head, body));
    }
    {
        ScriptedTransport t(&m_ticks);
        t.Then(Reply("200 OK", "", "part")).ThenFail(0, 300000);
        std::string sent, head, body;
        EXPECT_FALSE(DownLoadWeb(&t, kGet.c_str(), sent, head, body)) << "a stalled peer";
    }
    {
        ScriptedTransport t(&m_ticks);
        t.Then(Reply("200 OK", "", "part")).ThenFail(0, 299999);
        std::string sent, head, body;
        EXPECT_TRUE(DownLoadWeb(&t, kGet.c_str(), sent, head, body)) << "closed before the time-out";
    }
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: Recv data from SP failed!"));
}

TEST_F(GatewayHttpTest, ACutBodyWithContentLengthFails) {
    transport.Then(Reply("200 OK", "Content-Length: 10\r\n", "12345")).ThenFail();
    EXPECT_FALSE(Run(kGet).ok);
    EXPECT_THAT(Log(), HasSubstr("(ERROR): DownLoaderManager.cpp"));
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: Recv data from SP failed!"));
}

TEST_F(GatewayHttpTest, AChunkedBodyIsDecodedAcrossReadBoundaries) {
    const std::string body = Pattern(2500);
    const std::string chunked = "9c4;name=value\r\n" + body + "\r\n" + "3 \r\nxyz\r\n0\r\nTrailer: t\r\n\r\n";
    const std::string reply =
        Reply("200 OK", "Transfer-Encoding: gzip, Chunked\r\nContent-Length: 5\r\n", chunked);
    for (size_t piece : {size_t{1}, size_t{7}, size_t{1024}, reply.size()}) {
        ScriptedTransport t(&m_ticks);
        t.ThenInPieces(reply, piece).Then("HTTP/1.1 next");
        std::string sent, head, body2;
        ASSERT_TRUE(DownLoadWeb(&t, kGet.c_str(), sent, head, body2)) << piece;
        EXPECT_EQ(body2, body + "xyz") << piece;
    }
}

TEST_F(GatewayHttpTest, MalformedChunkedBodiesFail) {
    const char* bodies[] = {
        "zz\r\nab\r\n0\r\n\r\n",           // not a size
        "\r\nab\r\n0\r\n\r\n",             // empty size
        "2\r\nabX\r\n0\r\n\r\n",           // no line end after the data
        "80000000\r\n",                    // too large
        "ffffffffffffffffff\r\n",          // overflows
        "2\r\nab\r\n",                     // cut before the last chunk
    };
    for (const char* chunked : bodies) {
        ScriptedTransport t(&m_ticks);
        t.Then(Reply("200 OK", "Transfer-Encoding: chunked\r\n", chunked)).ThenFail();
        std::string sent, head, body;
        EXPECT_FALSE(DownLoadWeb(&t, kGet.c_str(), sent, head, body)) << chunked;
    }
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: The chunked body is malformed!"));
}

// Framing of hostile or unusual replies: what the body is, or that the
// exchange fails.
TEST_F(GatewayHttpTest, FramingOfTheReply) {
    const std::string chunked = "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n";
    struct Case {
        const char* name;
        std::string headers;
        std::string body;
        bool ok;
        std::string expected;
    };
    const Case cases[] = {
        {"repeated equal lengths", "Content-Length: 3\r\nContent-Length: 3\r\n", "abc", true, "abc"},
        {"equal lengths in a list", "Content-Length: 3, 3\r\n", "abc", true, "abc"},
        {"conflicting lengths", "Content-Length: 3\r\nContent-Length: 5\r\n", "abcde", false, ""},
        {"conflicting lengths in a list", "Content-Length: 3, 5\r\n", "abcde", false, ""},
        {"a bad element in a list", "Content-Length: 3, x\r\n", "abc", false, ""},
        {"codings split over two fields", "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n", chunked,
         true, "abcde"},
        {"chunked beside a length", "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n", chunked, true,
         "abcde"},
        {"chunked beside conflicting lengths",
         "Content-Length: 1\r\nTransfer-Encoding: chunked\r\nContent-Length: 9\r\n", chunked, true, "abcde"},
        {"chunked not last", "Transfer-Encoding: chunked, gzip\r\nContent-Length: 2\r\n", "raw", true, "raw"},
    };
    for (const Case& c : cases) {
        ScriptedTransport t(&m_ticks);
        t.Then(Reply("200 OK", c.headers, c.body)).ThenFail();
        std::string sent, head, body;
        EXPECT_EQ(DownLoadWeb(&t, kGet.c_str(), sent, head, body), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(body, c.expected) << c.name;
        }
    }
}

TEST_F(GatewayHttpTest, ARedirectWithTwoLengthsCannotSmuggleTheNextReply) {
    const std::string evil = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nEVIL!";
    transport
        .Then(Reply("302 Found",
                    "Location: /prx/000/http/localhost/client_sec/l3vpn/version.xml\r\nContent-Length: 0\r\n"
                    "Content-Length: " + std::to_string(evil.size()) + "\r\n",
                    evil))
        .Then(WithLength("version"));
    EXPECT_FALSE(Run(kGet).ok);
    EXPECT_EQ(transport.sent.size(), 1u);
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: The Content-Length is invalid!"));
}

TEST_F(GatewayHttpTest, ARedirectWithoutALengthIsFollowedAtOnce) {
    for (const char* headers : {"", "Transfer-Encoding: identity\r\n"}) {
        ScriptedTransport t(&m_ticks);
        // No end of the stream after the redirect's body: a kept-alive peer
        // waits for the next request.
        t.Then(Reply("302 Found", std::string("Location: /other\r\n") + headers, "moved"))
            .Then(WithLength("there"), 5);
        std::string sent, head, body;
        ASSERT_TRUE(DownLoadWeb(&t, kGet.c_str(), sent, head, body)) << headers;
        EXPECT_EQ(body, "there") << headers;
        EXPECT_EQ(t.sent.size(), 2u) << headers;
        EXPECT_THAT(t.asked, ElementsAre(1024u, 1024u)) << "the redirect's body was not waited for";
    }
    // With a length or chunks, its body is read and dropped.
    transport.Then(Reply("302 Found", "Location: /o\r\nTransfer-Encoding: chunked\r\n", "5\r\nmoved\r\n0\r\n\r\n"))
        .Then(WithLength("there"));
    const Exchange e = Run(kGet);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.body, "there");
}

TEST_F(GatewayHttpTest, AHeadHasTheTimeOfOneReadInAll) {
    {
        // A well-formed head that is slow to start still counts.
        ScriptedTransport t(&m_ticks);
        t.Then(WithLength("ok"), 299000);
        std::string sent, head, body;
        EXPECT_TRUE(DownLoadWeb(&t, kGet.c_str(), sent, head, body));
    }
    // One header line every second never ends the head.
    std::string endless = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 1000; ++i) endless += "X: y\r\n";
    ScriptedTransport t(&m_ticks);
    t.ThenInPieces(endless, 6, 1000);
    const ULONGLONG start = m_ticks.now;
    std::string sent, head, body;
    EXPECT_FALSE(DownLoadWeb(&t, kGet.c_str(), sent, head, body));
    EXPECT_LE(m_ticks.now - start, 300000u);
    EXPECT_LT(t.asked.size(), 310u);
    EXPECT_LT(t.readTimeouts.back(), 300000u) << "the last read waited only for what was left";
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: The reply head took too long!"));
}

TEST_F(GatewayHttpTest, EndlessTrailersAndChunkExtensionsAreCut) {
    std::string trailer = "2\r\nab\r\n0\r\n";
    for (int i = 0; i < 2000; ++i) trailer += "X-Trailer: " + std::string(20, 't') + "\r\n";
    std::string extensions;
    for (int i = 0; i < 100; ++i) extensions += "1;" + std::string(4000, 'e') + "\r\nx\r\n";
    for (const std::string& chunked : {trailer, extensions}) {
        ScriptedTransport t(&m_ticks);
        t.ThenInPieces(Reply("200 OK", "Transfer-Encoding: chunked\r\n", chunked), 1024);
        std::string sent, head, body;
        EXPECT_FALSE(DownLoadWeb(&t, kGet.c_str(), sent, head, body));
        EXPECT_GT(t.UnreadBytes(), 0u) << "the reading stopped before the peer's end";
    }
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: The chunked trailer is too long!"));
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: The chunk extensions are too long!"));
    // Extensions and a trailer of ordinary size pass.
    transport.Then(Reply("200 OK", "Transfer-Encoding: chunked\r\n",
                         "2;a=" + std::string(3000, 'v') + "\r\nab\r\n0\r\nT: " + std::string(4000, 't') +
                             "\r\nU: " + std::string(4000, 'u') + "\r\n\r\n"));
    const Exchange e = Run(kGet);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.body, "ab");
}

std::string HeadOfSize(size_t size) {
    const std::string start = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nX: ";
    const std::string end = "\r\n\r\n";
    return start + std::string(size - start.size() - end.size(), 'h') + end;
}

TEST_F(GatewayHttpTest, TheReplyHeadIsCappedAt64KiB) {
    {
        ScriptedTransport t(&m_ticks);
        t.ThenInPieces(HeadOfSize(65536), 1024);
        std::string sent, head, body;
        EXPECT_TRUE(DownLoadWeb(&t, kGet.c_str(), sent, head, body));
        EXPECT_EQ(head.size(), 65536u);
    }
    for (const std::string& stream : {HeadOfSize(65537), std::string(1 << 20, 'h')}) {
        ScriptedTransport t(&m_ticks);
        t.ThenInPieces(stream, 1024);
        std::string sent, head, body;
        EXPECT_FALSE(DownLoadWeb(&t, kGet.c_str(), sent, head, body));
        EXPECT_EQ(t.asked.size(), 64u) << "the reading stops at the cap";
    }
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: The reply head is too long!"));
}

TEST_F(GatewayHttpTest, StatusesOtherThan200And30xFail) {
    for (const char* status : {"303 See Other", "307 Temporary Redirect", "404 Not Found", "500 Error"}) {
        ScriptedTransport t(&m_ticks);
        t.Then(Reply(status, "Location: /x\r\nContent-Length: 4\r\n", "gone"));
        std::string sent, head, body;
        EXPECT_FALSE(DownLoadWeb(&t, kGet.c_str(), sent, head, body)) << status;
        EXPECT_EQ(body, "gone") << "the body was read";
        EXPECT_EQ(t.sent.size(), 1u);
    }
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: The replay value of web is wrong. Web = HTTP/1.1 404 Not Found"));
    // A head too long for one log line still leaves the line, with its start.
    ScriptedTransport t(&m_ticks);
    t.Then(Reply("403 Forbidden", "X-Padding: " + std::string(6000, 'p') + "\r\nContent-Length: 0\r\n"));
    std::string sent, head, body;
    EXPECT_FALSE(DownLoadWeb(&t, kGet.c_str(), sent, head, body));
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: The replay value of web is wrong. Web = HTTP/1.1 403 Forbidden"));
}

TEST_F(GatewayHttpTest, RepliesWithoutABodyAreNotReadOn) {
    transport.Then(Reply("204 No Content", ""));
    EXPECT_FALSE(Run(kGet).ok);
    EXPECT_THAT(transport.asked, ElementsAre(1024u));
}

TEST_F(GatewayHttpTest, AHeadWithoutHttpFails) {
    transport.Then("garbage\r\n\r\n");
    EXPECT_FALSE(Run(kGet).ok);
    EXPECT_THAT(Log(), HasSubstr("AnalyzeReplyHead:Failed to parse HTTP status line!"));
}

TEST_F(GatewayHttpTest, RedirectBackToTheSamePathDeliversTheFinalBody) {
    const std::string redirect =
        Reply("302 Found",
              "Set-Cookie: KZsession=new; path=/\r\nLocation: https://gw.example"
              "/prx/000/http/localhost/client_sec/l3vpn/version.xml\r\nContent-Length: 5\r\n",
              "moved");
    // The redirect's body and the next head arrive in one read.
    transport.Then(redirect + "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nver").Then("sion");
    const Exchange e = Run(kGet);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.body, "version");
    const std::string second =
        "GET /prx/000/http/localhost/client_sec/l3vpn/version.xml HTTP/1.1\r\nHost: gw.example\r\n"
        "Connection: Keep-Alive\r\nCookie: KZsession=new;KZStandalone=true\r\n\r\n";
    EXPECT_THAT(transport.sent, ElementsAre(kGet, second));
    EXPECT_EQ(e.sent, second);
    EXPECT_EQ(e.head, "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\n");

    Owners::UniqueBstr caller(::SysAllocStringByteLen("pre:", 4));
    BSTR buffer = caller.release();
    EXPECT_EQ(FinishGatewayExchange(true, kGet, e.sent, e.body, &buffer), DownloadResult_Success);
    caller.reset(buffer);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(caller.get()), ::SysStringByteLen(caller.get())),
              "pre:version");
}

TEST_F(GatewayHttpTest, RedirectElsewhereEndsWithResult3AndDropsTheBody) {
    transport.Then(Reply("301 Moved", "Location: /elsewhere.xml\r\nContent-Length: 0\r\n"))
        .Then(WithLength("other"));
    const Exchange e = Run(kGet);
    ASSERT_TRUE(e.ok);
    BSTR buffer = nullptr;
    EXPECT_EQ(FinishGatewayExchange(true, kGet, e.sent, e.body, &buffer), DownloadResult_Redirected);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(FinishGatewayExchange(false, kGet, kGet, "", &buffer), DownloadResult_ExchangeFailed);
    const std::string log = Log();
    EXPECT_THAT(log, HasSubstr("DownLoadFile: Down file failed. Src = "
                               "/prx/000/http/localhost/client_sec/l3vpn/version.xml. Real = /elsewhere.xml"));
    EXPECT_THAT(log, HasSubstr("DownLoadFile: DownLoadWeb finished"));
    EXPECT_THAT(log, HasSubstr("DownLoadFile: DownLoadWeb failed"));
}

TEST_F(GatewayHttpTest, AnInjectingRedirectIsNotFollowed) {
    using namespace std::string_literals;
    for (const std::string& location : {"/x\nCookie: KZsession=attacker"s, "/x\0y"s, "/x\ty"s, "/x y"s}) {
        ScriptedTransport t(&m_ticks);
        t.Then(Reply("302 Found", "Location: " + location + "\r\nContent-Length: 0\r\n")).Then(WithLength("EVIL!"));
        std::string sent, head, body;
        EXPECT_FALSE(DownLoadWeb(&t, kGet.c_str(), sent, head, body)) << EscapeForLog(location);
        EXPECT_EQ(t.sent.size(), 1u) << "nothing more was sent";
    }
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: The redirect is refused: Location = /x\\nCookie: KZsession=attacker"));
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: The redirect is refused: Location = /x\\x00y"));
}

TEST_F(GatewayHttpTest, ASessionInTheLocationIsNoSession) {
    transport.Then(Reply("302 Found", "Location: /x;KZsession=attacker\r\nContent-Length: 0\r\n"))
        .Then(WithLength("body"));
    const Exchange e = Run(kGet);
    ASSERT_TRUE(e.ok);
    ASSERT_EQ(transport.sent.size(), 2u);
    EXPECT_THAT(transport.sent[1], HasSubstr("\r\nCookie: KZsession=old;KZStandalone=true\r\n"));
    EXPECT_THAT(transport.sent[1], Not(HasSubstr("attacker\r\n")));
}

TEST_F(GatewayHttpTest, PeerTextIsEscapedBeforeItIsLogged) {
    for (DownLoadVariant variant : {DownLoadVariant::File, DownLoadVariant::Report}) {
        ScriptedTransport t(&m_ticks);
        t.Then(Reply("404 Not Found", "X-A: a\n2033-04-02 10:00:00 forged\x1b[31m\r\nContent-Length: 0\r\n"));
        std::string sent, head, body;
        EXPECT_FALSE(DownLoadWeb(&t, kGet.c_str(), sent, head, body, variant));
    }
    const std::string log = Log();
    EXPECT_THAT(log, HasSubstr("Web = HTTP/1.1 404 Not Found\\r\\nX-A: a\\n2033-04-02 10:00:00 forged\\x1B[31m\\r\\n"));
    EXPECT_THAT(log, HasSubstr("strRecvTmp: HTTP/1.1 404 Not Found\\r\\nX-A: a\\n2033"));
    EXPECT_THAT(log, Not(HasSubstr("\n2033-04-02 10:00:00 forged")));
    EXPECT_THAT(log, Not(HasSubstr("\x1b")));
}

TEST_F(GatewayHttpTest, EndlessRedirectsStopAfterTen) {
    for (int i = 0; i < 12; ++i) transport.Then(Reply("302 Found", "Location: /loop\r\nContent-Length: 0\r\n"));
    EXPECT_FALSE(Run(kGet).ok);
    EXPECT_EQ(transport.sent.size(), 11u) << "the first request and ten redirects";
    EXPECT_THAT(Log(), HasSubstr("DownLoadFile: Too many redirects!"));
}

TEST_F(GatewayHttpTest, FailuresOfTheArgumentsTheSendAndTheHead) {
    std::string sent, head, body;
    EXPECT_FALSE(DownLoadWeb(nullptr, kGet.c_str(), sent, head, body));
    EXPECT_FALSE(DownLoadWeb(&transport, nullptr, sent, head, body));
    EXPECT_TRUE(transport.sent.empty());

    transport.failSends = true;
    EXPECT_FALSE(Run(kGet).ok);
    transport.failSends = false;

    transport.Then("HTTP/1.1 200 OK\r\nContent-").ThenFail();
    EXPECT_FALSE(Run(kGet, DownLoadVariant::Report).ok);
    const std::string log = Log();
    EXPECT_THAT(log, HasSubstr("DownLoadFile: The pointer is null!"));
    EXPECT_THAT(log, HasSubstr("DownLoadFile: Send data to SP failed!"));
    EXPECT_THAT(log, HasSubstr("DownLoadFile: Recv data from SP failed!"));
    EXPECT_THAT(log, HasSubstr("RecvData: failed"));
}

// ---- Pieces of the download and the report ----------------------------------

// Sets a value under HKLM\SOFTWARE\VPN for a test and removes it again.
class ScopedVpnValue {
public:
    ScopedVpnValue(const wchar_t* name, DWORD type, const void* data, DWORD size) : m_name(name) {
        ::SHSetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN", name, type, data, size);
    }
    ~ScopedVpnValue() { ::SHDeleteValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN", m_name); }

private:
    const wchar_t* m_name;
};

TEST_F(GatewayHttpTest, UrlPrefixComesFromTheRegistryTheCallerOrTheDefault) {
    EXPECT_EQ(ChooseDownloadUrlPrefix(nullptr), kDefaultUrlPrefixW);
    EXPECT_EQ(ChooseDownloadUrlPrefix(L""), kDefaultUrlPrefixW);
    EXPECT_EQ(ChooseDownloadUrlPrefix(L"/caller/%s/"), L"/caller/%s/");
    struct Case {
        std::wstring stored;
        std::wstring expected;
    };
    const Case cases[] = {
        {L"/reg/", L"/reg/"},
        {L"/", L"/caller/"},
        {std::wstring(259, L'r'), std::wstring(259, L'r')},
        {std::wstring(260, L'r'), L"/caller/"},
    };
    for (const auto& c : cases) {
        ScopedVpnValue value(L"TX_URL_Location", REG_SZ, c.stored.c_str(),
                             static_cast<DWORD>((c.stored.size() + 1) * sizeof(wchar_t)));
        EXPECT_EQ(ChooseDownloadUrlPrefix(L"/caller/"), c.expected) << c.stored.size();
    }
    {
        // Stored without its terminator, filling the whole buffer.
        const std::wstring full(260, L'u');
        ScopedVpnValue value(L"TX_URL_Location", REG_SZ, full.c_str(), 520);
        EXPECT_EQ(ChooseDownloadUrlPrefix(L"/caller/"), L"/caller/");
    }
    const std::string log = Log();
    EXPECT_THAT(log, HasSubstr("DownLoadFileToBSTR: lpDownloadURL is /caller/%s/"));
    EXPECT_THAT(log, HasSubstr("we set the url from reg:/reg/"));
}

TEST_F(GatewayHttpTest, CredentialsStayOutOfTheLogUnlessTheDebugSwitchIsOn) {
    std::string post;
    ASSERT_TRUE(BuildReportPostRequest("/c", "Authorization: Basic dXNlcjpwYXNz", "gw", 443, "{}", post));
    const std::string hidden = CredentialsHiddenForLog(post);
    EXPECT_THAT(hidden, Not(HasSubstr("dXNlcjpwYXNz")));
    EXPECT_THAT(hidden, HasSubstr("POST /c HTTP/1.1\r\nAuthorization: Basic ***\r\nHost:gw:443\r\n"));
    EXPECT_EQ(CredentialsHiddenForLog("Authorization: Basic dXNlcjpwYXNz"), "Authorization: Basic ***");
    EXPECT_EQ(CredentialsHiddenForLog("no credentials\n"), "no credentials\n");

    ScopedRegistryKey key(HKEY_LOCAL_MACHINE, L"SOFTWARE\\VPN\\Install Manager");
    key.SetDword(L"EnablePrintRequest", 7315);
    EXPECT_EQ(CredentialsHiddenForLog(post), post);
}

std::string Bytes(BSTR b) {
    return b ? std::string(reinterpret_cast<const char*>(b), ::SysStringByteLen(b)) : std::string();
}

TEST_F(GatewayHttpTest, ABodyOfKnownLengthIsWrittenOnceAndBecomesTheCallersBuffer) {
    const std::string body = Pattern(40000);
    transport.ThenInPieces(WithLength(body), 7000);
    std::string sent, head;
    CBodyBuffer got;
    ASSERT_TRUE(DownLoadWeb(&transport, kGet.c_str(), sent, head, got, DownLoadVariant::File));
    ASSERT_EQ(got.View(), body);
    const char* written = got.View().data();
    BSTR caller = nullptr;
    ASSERT_EQ(FinishGatewayExchange(true, kGet, sent, got, &caller), DownloadResult_Success);
    Owners::UniqueBstr owner(caller);
    EXPECT_EQ(reinterpret_cast<const char*>(caller), written) << "handed over, not copied";
    EXPECT_EQ(Bytes(caller), body);
    EXPECT_EQ(got.Size(), 0u);
    EXPECT_THAT(transport.asked, Each(Le(kGatewayBodyChunk)));
}

TEST(GatewayBodyBufferTest, SizedGrownAndOverlongBodiesJoinTheCallersBufferWhole) {
    struct Case {
        const char* what;
        size_t reserve;  // 0: length unknown
        std::vector<std::string> pieces;
        const char* callerHeld;  // nullptr: a null BSTR
    };
    const Case cases[] = {
        {"sized, into a null buffer", 5, {"ab", std::string("c\0e", 3)}, nullptr},
        {"sized, into an empty buffer", 3, {"xyz"}, ""},
        {"sized, after what the caller held", 3, {"xyz"}, "pre:"},
        {"more than announced", 2, {"ab", "cd", "e"}, nullptr},
        {"less than announced", 9, {"ab"}, "pre:"},
        {"grown", 0, {"a", "", "bc"}, "pre:"},
        {"empty", 0, {}, nullptr},
    };
    for (const Case& c : cases) {
        CBodyBuffer body;
        body.Append("stale", 5);
        body.Clear();
        body.Reserve(c.reserve);
        std::string expected;
        for (const std::string& piece : c.pieces) {
            ASSERT_TRUE(body.Append(piece.data(), piece.size())) << c.what;
            expected += piece;
        }
        EXPECT_EQ(body.View(), expected) << c.what;
        EXPECT_EQ(body.Size(), expected.size()) << c.what;
        BSTR caller = c.callerHeld ? ::SysAllocStringByteLen(c.callerHeld, static_cast<UINT>(std::strlen(c.callerHeld)))
                                   : nullptr;
        ASSERT_TRUE(body.MoveInto(&caller)) << c.what;
        Owners::UniqueBstr owner(caller);
        EXPECT_EQ(Bytes(caller), std::string(c.callerHeld ? c.callerHeld : "") + expected) << c.what;
        EXPECT_EQ(body.Size(), 0u) << c.what;
    }
    CBodyBuffer body;
    EXPECT_FALSE(body.MoveInto(nullptr));
}

TEST(GatewayBodyBufferTest, LargeBodiesKeepEveryByteWhileHelpersTouchTheirPages) {
    // Above the size at which helpers start; odd lengths, pieces that divide
    // neither a page nor a chunk.
    struct Case {
        const char* what;
        size_t reserve;
        size_t written;
    };
    const size_t large = kPageTouchMinimum + 3 * 65536 + 1;
    const Case cases[] = {
        {"whole", large, large},
        {"less than announced", large, large / 2 + 7},
        {"more than announced", large, large + 5},
    };
    for (const Case& c : cases) {
        const std::string expected = Pattern(c.written);
        CBodyBuffer body;
        body.Reserve(c.reserve);
        ::Sleep(10);  // the helpers are ahead of the first byte
        for (size_t at = 0; at < expected.size(); at += 16381)
            ASSERT_TRUE(body.Append(expected.data() + at, std::min<size_t>(16381, expected.size() - at))) << c.what;
        ASSERT_EQ(body.Size(), expected.size()) << c.what;
        EXPECT_TRUE(body.View() == expected) << c.what;
        BSTR caller = nullptr;
        ASSERT_TRUE(body.MoveInto(&caller)) << c.what;
        Owners::UniqueBstr owner(caller);
        EXPECT_TRUE(Bytes(caller) == expected) << c.what;
    }
}

TEST(GatewayBodyBufferTest, UnwrittenBstrsHaveTheirExactByteLengthAndATerminator) {
    for (const size_t length : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{4095}, size_t{4096},
                                size_t{65537}}) {
        Owners::UniqueBstr bytes(AllocateUnwrittenBstr(length));
        ASSERT_NE(bytes.get(), nullptr) << length;
        EXPECT_EQ(::SysStringByteLen(bytes.get()), length);
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.get());
        EXPECT_EQ(p[length], 0) << length;
        EXPECT_EQ(p[length + 1], 0) << length;
        std::memset(bytes.get(), 'x', length);
        BSTR grown = bytes.release();
        ASSERT_TRUE(AppendToBodyBuffer(&grown, "yz"));
        bytes.reset(grown);
        EXPECT_EQ(Bytes(bytes.get()), std::string(length, 'x') + "yz") << length;
    }
    EXPECT_EQ(AllocateUnwrittenBstr(size_t{kMaxBodyLength} + 1), nullptr);
}

TEST(GatewayBodyBufferTest, AppendsBytesIncludingZeros) {
    BSTR buffer = nullptr;
    ASSERT_TRUE(AppendToBodyBuffer(&buffer, std::string("a\0b", 3)));
    ASSERT_TRUE(AppendToBodyBuffer(&buffer, ""));
    ASSERT_TRUE(AppendToBodyBuffer(&buffer, "cd"));
    Owners::UniqueBstr owner(buffer);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(owner.get()), ::SysStringByteLen(owner.get())),
              std::string("a\0bcd", 5));
    EXPECT_FALSE(AppendToBodyBuffer(nullptr, "x"));
}

}  // namespace
