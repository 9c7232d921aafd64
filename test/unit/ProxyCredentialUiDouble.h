// What the proxy-credential loop shows the user, answered from a script and
// recorded, for the scope of a test.
#pragma once

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "ProxyCredentialLoop.h"

namespace TestSupport {

class ScriptedProxyCredentialUi : public IProxyCredentialUi {
public:
    struct Answer {
        INT_PTR result;
        std::wstring user, password, domain;
    };
    struct Asked {
        bool chinese, disableDomain;
        bool operator==(const Asked&) const = default;
    };

    ScriptedProxyCredentialUi() : m_previous(SetProxyCredentialUiForTest(this)) {}
    ~ScriptedProxyCredentialUi() override { SetProxyCredentialUiForTest(m_previous); }
    ScriptedProxyCredentialUi(const ScriptedProxyCredentialUi&) = delete;
    ScriptedProxyCredentialUi& operator=(const ScriptedProxyCredentialUi&) = delete;

    // An empty script cancels.
    INT_PTR AskCredentials(bool chinese, bool disableDomain, std::wstring& user,
                           std::wstring& password, std::wstring& domain) override {
        asked.push_back({chinese, disableDomain});
        if (answers.empty()) return IDCANCEL;
        const Answer answer = answers.front();
        answers.pop_front();
        user = answer.user;
        password = answer.password;
        domain = answer.domain;
        return answer.result;
    }
    // Recorded as "<caption>|<text>".
    void ShowTimedBox(const wchar_t* text, const wchar_t* caption) override {
        boxes.push_back(std::wstring(caption) + L"|" + text);
    }

    std::deque<Answer> answers;
    std::vector<Asked> asked;
    std::vector<std::wstring> boxes;

private:
    IProxyCredentialUi* m_previous;
};

}  // namespace TestSupport
