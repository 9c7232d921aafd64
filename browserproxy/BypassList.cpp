#include "BypassList.h"

#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "Loglib.h"
#include "SockAddr.h"
#include "StringUtil.h"

namespace {

struct Fragment {
    std::string text;
    size_t end;  // offset just past the fragment in its text
};

// Splits at any of the separators; runs of separators give no empty fragment.
std::vector<Fragment> Split(std::string_view text, std::string_view separators) {
    std::vector<Fragment> fragments;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t start = text.find_first_not_of(separators, pos);
        if (start == std::string_view::npos) break;
        size_t stop = text.find_first_of(separators, start);
        if (stop == std::string_view::npos) stop = text.size();
        fragments.push_back({std::string(text.substr(start, stop - start)), stop});
        pos = stop;
    }
    return fragments;
}

std::string WithoutChars(std::string_view text, std::string_view chars) {
    std::string out;
    for (char c : text) {
        if (chars.find(c) == std::string_view::npos) out += c;
    }
    return out;
}

bool HasBrackets(const std::string& text) {
    return text.find('[') != std::string::npos && text.find(']') != std::string::npos;
}

// The numeric text of the address a text resolves to; empty when it does not.
std::string TextForm(const std::string& text) {
    QuarloSocket::SockAddrHost host(text.c_str());
    return host.isValid() ? host.toString() : std::string();
}

// A '*' entry walked against the destination fragment by fragment from the
// left, split at '.' and ':'; the entry may end first (a prefix match).
bool MatchesByWalk(const std::string& entry, const std::string& destination, bool destIsAddress) {
    const std::string withoutStars = TrimWhiteSpace(WithoutChars(entry, "*"));
    const bool entryIsAddress = IsIPAddressString(withoutStars.c_str());
    if (entryIsAddress != destIsAddress) return false;
    // Address literals compare without brackets: "fe80:*" against "[fe80::1]".
    const std::string pattern = destIsAddress ? WithoutChars(entry, "[]") : entry;
    const std::string target = destIsAddress ? WithoutChars(destination, "[]") : destination;
    const std::vector<Fragment> ours = Split(pattern, ".:");
    const std::vector<Fragment> theirs = Split(target, ".:");
    if (ours.empty() || theirs.empty()) return false;
    LOGA(LOG_INFO, "IncludeInBypass: proxy bypass fragement:%s, dest server fragement:%s\n",
         ours[0].text.c_str(), theirs[0].text.c_str());
    for (size_t i = 0; i < ours.size() && i < theirs.size(); ++i) {
        const Fragment& mine = ours[i];
        const Fragment& other = theirs[i];
        if (mine.text == "\n" || other.text == "\n") break;
        if (mine.text == "*") {
            LOGA(LOG_INFO, "IncludeInBypass: proxy bypass fragement:%s, dest server fragement:%s\n",
                 mine.text.c_str(), other.text.c_str());
        } else if (!EqualsAsciiNoCase(mine.text, other.text)) {
            // Host names are case-insensitive here as in the fragment match.
            return false;
        }
        LOGA(LOG_INFO,
             "IncludeInBypass: proxy bypass fragement:%s, dest server fragement:%s,dotpos:%d "
             "srcdotppos:%d\n",
             mine.text.c_str(), other.text.c_str(), static_cast<int>(mine.end),
             static_cast<int>(other.end));
    }
    return true;
}

// An entry without '*': only two address literals are compared, by their
// resolved text forms when both are bracketed, else without brackets.
bool MatchesExactly(const std::string& entry, const std::string& destination, bool destIsAddress) {
    const bool entryIsAddress = IsIPAddressString(entry.c_str());
    const bool bothAddresses = destIsAddress && entryIsAddress;
    std::string ours = entry;
    std::string theirs = destination;
    if (bothAddresses) {
        if (HasBrackets(destination) && HasBrackets(entry)) {
            theirs = TextForm(destination);
            ours = TextForm(entry);
        } else {
            theirs = WithoutChars(destination, "[]");
            ours = WithoutChars(entry, "[]");
        }
    }
    LOGA(LOG_INFO,
         "IncludeInBypass: proxy bypass :%s, dest server:%s,bDestIPaddr:%d,bBypassIPaddr:%d\n",
         ours.c_str(), theirs.c_str(), destIsAddress ? 1 : 0, entryIsAddress ? 1 : 0);
    return bothAddresses && !ours.empty() && !theirs.empty() && EqualsAsciiNoCase(ours, theirs);
}

}  // namespace

bool IsIPAddressString(const char* text) {
    if (!text || !*text) return false;
    const std::string_view view(text);
    if (view.find('[') != std::string_view::npos && view.find(']') != std::string_view::npos) {
        return true;
    }
    if (view.find(':') != std::string_view::npos) return true;
    for (char c : view) {
        if (c != '.' && (c < '0' || c > '9')) return false;
    }
    return true;
}

int32_t IsMatchedByWildcard(const char* entry, const char* destination) {
    if (!entry || !destination) return 0;
    if (EqualsAsciiNoCase(destination, "all")) return 1;
    // Every fragment takes part: a text is never cut short, so differing
    // tails or long labels cannot pass as equal.
    const std::vector<Fragment> ours = Split(entry, ".");
    const std::vector<Fragment> theirs = Split(destination, ".");
    if (ours.size() != theirs.size()) return 0;
    for (size_t i = 0; i < ours.size(); ++i) {
        if (ours[i].text == "*" || theirs[i].text == "*") continue;
        if (!EqualsAsciiNoCase(ours[i].text, theirs[i].text)) return 0;
    }
    return 1;
}

int32_t IncludeInBypass(const wchar_t* bypassList, const wchar_t* destination) {
    if (!bypassList || !destination) return 0;
    const std::string list =
        TrimWhiteSpace(ReplaceAll(CodePageFromWide(bypassList, CP_THREAD_ACP), "<local>", " "));
    const std::string dest = CodePageFromWide(destination, CP_THREAD_ACP);
    const bool destIsAddress = IsIPAddressString(dest.c_str());

    for (const Fragment& raw : Split(list, ";")) {
        if (raw.text == "\n") break;
        // Blanks after a separator ("a.b; *.c.d") belong to no entry.
        const std::string entry = TrimWhiteSpace(raw.text);
        if (entry.empty()) continue;
        LOGA(LOG_INFO, "IncludeInBypass: proxy bypass:%s, dest server:%s\n", entry.c_str(),
             dest.c_str());
        if (IsMatchedByWildcard(entry.c_str(), dest.c_str()) == 1) {
            LOGA(LOG_INFO, "IncludeInBypass: TURE.\n");
            return 1;
        }
        if (entry.find('*') != std::string::npos) {
            if (MatchesByWalk(entry, dest, destIsAddress)) return 1;
        } else if (MatchesExactly(entry, dest, destIsAddress)) {
            return 1;
        }
    }
    return 0;
}
