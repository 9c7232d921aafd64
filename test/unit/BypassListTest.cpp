// Matching of a destination against a proxy bypass list.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "BrowserProxyTestSupport.h"
#include "BypassList.h"

using namespace BrowserProxyTest;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

struct BypassCase {
    std::wstring list;
    std::wstring destination;
    int expected;
    const char* why;
};

std::wstring Repeat(const std::wstring& fragment, int count) {
    std::wstring text;
    for (int i = 0; i < count; ++i) text += (i ? L"." : L"") + fragment;
    return text;
}

const std::wstring kLongA(128, L'a');
const std::wstring kLongB(128, L'b');

const std::vector<BypassCase> kBypassCases = {
    // Fragment match: same count of '.'-fragments, '*' or equal without case.
    {L"10.0.0.1", L"10.0.0.1", 1, "four equal fragments"},
    {L"*.b.c", L"a.b.c", 1, "'*' takes one fragment"},
    {L"GW.Corp.COM", L"gw.corp.com", 1, "fragments compare without case"},
    {L"gw.*.com", L"gw.x.com", 1, "'*' in the middle"},
    {L"gw.corp.com", L"gw.corp.org", 0, "one fragment differs"},
    {L".", L".", 1, "dots alone give no fragment on either side"},
    {L"gw.corp.com", L"all", 1, "the destination all matches any entry"},
    {L"gw.corp.com", L"ALL", 1, "all without regard to case"},
    // Wildcard walk: from the left, the entry may end first.
    {L"*.b.c", L"x.a.b.c", 0, "the walk compares b with a"},
    {L"a.b.*", L"a.b.c.d", 1, "the walk is a prefix match"},
    {L"A.B.*", L"a.b.c", 1, "fragment match without case"},
    {L"A.B.*", L"a.b.c.d", 1, "the walk also ignores case"},
    {L"*.corp.com", L"corp.com", 0, "corp against com"},
    {L"*", L"gw.corp.com", 1, "a lone '*' covers every name"},
    {L"*", L"10.1.2.3", 0, "a lone '*' is a name pattern, not an address one"},
    {L"10.*", L"10.1.2.3", 1, "address prefix"},
    {L"10.0.*.1", L"10.0.5.1", 1, "address with '*' inside"},
    {L"192.168.*", L"192.169.1.1", 0, "address prefix differs"},
    {L"10.*", L"gw.corp.com", 0, "address pattern against a name"},
    {L"*.corp.com", L"10.1.2.3", 0, "name pattern against an address"},
    {L"fe80:*", L"[fe80::1]", 1, "IPv6 walk splits at ':' without brackets"},
    {L"fe80:*", L"[fe81::1]", 0, "IPv6 walk, other prefix"},
    // Exact comparison of address literals.
    {L"gw.corp.com", L"10.0.0.1", 0, "name entry against an address"},
    {L"10.0.0.1", L"gw.corp.com", 0, "address entry against a name"},
    {L"fe80::1", L"FE80::1", 1, "IPv6 without regard to case"},
    {L"fe80::1", L"[fe80::1]", 1, "an address matches its bracketed form"},
    {L"fe81:*;fe80::1", L"[fe80::1]", 1, "same answer after a failed wildcard entry"},
    {L"[FE80:0:0::1]", L"[fe80::1]", 1, "two bracketed texts compare resolved"},
    {L"[fe80::2]", L"[fe80::1]", 0, "two bracketed texts, other addresses"},
    {L"10.0.0.01", L"10.0.0.1", 0, "address texts are not normalised"},
    // Ports: a text with ':' counts as an address literal.
    {L"gw.corp.com:443", L"gw.corp.com", 0, "entry with a port, destination without"},
    {L"gw.corp.com", L"gw.corp.com:443", 0, "destination with a port is no name"},
    {L"*.corp.com", L"gw.corp.com:443", 0, "name pattern against host:port"},
    {L"*.corp.com:443", L"gw.corp.com:443", 1, "pattern with the same port"},
    {L"*.corp.com:443", L"gw.corp.com:8443", 0, "pattern with another port"},
    {L"gw.corp.com:443", L"GW.corp.com:443", 1, "host:port fragments without case"},
    // <local>, separators, blanks and empty lists.
    {L"<local>", L"gw", 0, "<local> matches nothing"},
    {L"<local>", L"all", 0, "<local> alone leaves no entry"},
    {L"<LOCAL>", L"gw", 0, "another spelling is just a name"},
    {L"<local>;gw.corp.com", L"gw.corp.com", 1, "entry after <local>"},
    {L"a.b;<local>;gw.corp.com", L"gw.corp.com", 1, "the blank of <local> ends nothing"},
    {L"a.b;;;gw.corp.com", L"gw.corp.com", 1, "runs of ';'"},
    {L";;gw.corp.com;;", L"gw.corp.com", 1, "';' at both ends"},
    {L"a.b; *.c.d", L"x.c.d", 1, "a blank after ';' belongs to no entry"},
    {L"a.b;\t*.c.d \r\n", L"x.c.d", 1, "tabs and line breaks around entries"},
    {L"*.c.d ;a.b", L"x.c.d", 1, "blank before ';'"},
    {L"  gw.corp.com  ", L"gw.corp.com", 1, "blanks around the list"},
    {L"a.b;\n;gw.corp.com", L"gw.corp.com", 0, "a lone line feed ends the list"},
    {L"", L"gw.corp.com", 0, "empty list"},
    {L"   ", L"all", 0, "blank list"},
    {L";;;", L"all", 0, "separators only"},
    {L"gw.corp.com", L"", 0, "empty destination"},
    // Texts are never cut short.
    {kLongA + L".x", kLongB + L".x", 0, "fragments of 128 characters still compare"},
    {kLongA + L".x", kLongA + L".x", 1, "equal long fragments"},
    {L"*." + kLongA, L"gw." + kLongA, 1, "long fragment after '*'"},
    {Repeat(L"a", 20), Repeat(L"a", 21), 0, "a 21st fragment counts"},
    {Repeat(L"a", 20) + L".b", Repeat(L"a", 20) + L".c", 0, "a differing 21st fragment"},
    {Repeat(L"a", 21), Repeat(L"A", 21), 1, "21 equal fragments"},
};

class BypassTable : public LoggedTest {
protected:
    ResolverDouble m_resolver;
};

}  // namespace

TEST_F(BypassTable, EveryCaseGivesItsAnswer) {
    for (const BypassCase& c : kBypassCases) {
        EXPECT_EQ(IncludeInBypass(c.list.c_str(), c.destination.c_str()), c.expected)
            << c.why << ": list \"" << CodePageFromWide(c.list, CP_UTF8) << "\", destination \""
            << CodePageFromWide(c.destination, CP_UTF8) << "\"";
    }
    // Nothing asked the network: only numeric texts were resolved.
    EXPECT_TRUE(m_resolver.hostQueries.empty());
}

TEST_F(BypassTable, NullInputsMatchNothing) {
    EXPECT_EQ(IncludeInBypass(nullptr, L"gw.corp.com"), 0);
    EXPECT_EQ(IncludeInBypass(L"gw.corp.com", nullptr), 0);
    EXPECT_EQ(IsMatchedByWildcard(nullptr, "all"), 0);
    EXPECT_EQ(IsMatchedByWildcard("a", nullptr), 0);
}

TEST_F(BypassTable, BracketedTextsThatDoNotResolveMatchNothing) {
    // As on Windows, whose resolver refuses bracketed literals: two such
    // texts have no text form, and no form never equals no form.
    m_resolver.bracketsResolve = false;
    EXPECT_EQ(IncludeInBypass(L"[FE80:0:0::1]", L"[fe80::1]"), 0);
    EXPECT_EQ(IncludeInBypass(L"[fe80::2]", L"[fe80::1]"), 0);
    // Equal texts still match by their fragments, and one-sided brackets
    // need no resolver.
    EXPECT_EQ(IncludeInBypass(L"[fe80::1]", L"[fe80::1]"), 1);
    EXPECT_EQ(IncludeInBypass(L"fe80::1", L"[fe80::1]"), 1);
}

TEST_F(BypassTable, LogsEachEntryAndOnlyTheFragmentMatchSaysTure) {
    ASSERT_EQ(IncludeInBypass(L"a.b;10.0.0.1", L"10.0.0.1"), 1);
    EXPECT_THAT(LogText(), HasSubstr("IncludeInBypass: proxy bypass:a.b, dest server:10.0.0.1\r\n"));
    EXPECT_THAT(LogText(), HasSubstr("IncludeInBypass: proxy bypass :a.b, dest server:10.0.0.1,"
                                     "bDestIPaddr:1,bBypassIPaddr:0\r\n"));
    EXPECT_THAT(LogText(), HasSubstr("IncludeInBypass: proxy bypass:10.0.0.1, dest server:10.0.0.1\r\n"));
    EXPECT_EQ(LogCount("IncludeInBypass: TURE.\r\n"), 1u);

    const size_t before = LogText().size();
    ASSERT_EQ(IncludeInBypass(L"a.b.*", L"a.b.c.d"), 1);
    const std::string walk = LogText().substr(before);
    EXPECT_THAT(walk, HasSubstr("IncludeInBypass: proxy bypass fragement:a, dest server fragement:a\r\n"));
    EXPECT_THAT(walk, HasSubstr("IncludeInBypass: proxy bypass fragement:b, dest server fragement:b,"
                                "dotpos:3 srcdotppos:3\r\n"));
    EXPECT_THAT(walk, HasSubstr("IncludeInBypass: proxy bypass fragement:*, dest server fragement:c\r\n"));
    EXPECT_THAT(walk, HasSubstr("IncludeInBypass: proxy bypass fragement:*, dest server fragement:c,"
                                "dotpos:5 srcdotppos:5\r\n"));
    EXPECT_THAT(walk, Not(HasSubstr("TURE")));
}

TEST(BypassHelpers, IsIPAddressStringByItsThreeRules) {
    struct Row {
        const char* text;
        bool expected;
    } rows[] = {
        {nullptr, false},      {"", false},           {"10.0.0.1", true},  {"1.2", true},
        {"...", true},         {"fe80::1", true},     {"[x]", true},       {"gw:443", true},
        {"gw.corp.com", false}, {"[x", false},        {"x]", false},       {"10.0.0.1a", false},
        {" 10.0.0.1", false},  {"10.0.0.*", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IsIPAddressString(row.text), row.expected) << (row.text ? row.text : "(null)");
    }
}
