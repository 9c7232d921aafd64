// Asks the platform's PAC engine what a script answers:
//   pacanswer.exe <script file> <url> <host> [<url> <host> ...]
// prints one line per pair, "<url> <host> => <answer>", or "=> (no answer:
// <why>)" when the script does not run; exit code 1 when any pair had none.
#include <windows.h>

#include <cstdio>
#include <string>

#include "PacEngine.h"
#include "StringUtil.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 4 || argc % 2 != 0) {
        std::printf("usage: pacanswer <script> <url> <host> [<url> <host> ...]\n");
        return 2;
    }
    const std::string script = CodePageFromWide(argv[1], CP_ACP);
    int failed = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string url = CodePageFromWide(argv[i], CP_ACP);
        const std::string host = CodePageFromWide(argv[i + 1], CP_ACP);
        std::string why;
        const std::optional<std::string> answer = PacEngine::Evaluate(script, url, host, &why);
        if (answer) {
            std::printf("%s %s => %s\n", url.c_str(), host.c_str(), answer->c_str());
        } else {
            std::printf("%s %s => (no answer: %s)\n", url.c_str(), host.c_str(), why.c_str());
            failed = 1;
        }
    }
    std::fflush(stdout);
    return failed;
}
