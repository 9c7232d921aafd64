// Branches whose operations are not part of this build yet. Each says so in
// the log and returns; the front door still ends the command as its row does.
// A branch moves out of this file when its operations land.
#include "FrontDoorBranches.h"

#include "Loglib.h"

void LogCommandNotAvailable(const wchar_t* keyword) {
    LOGW(LOG_WARNING, L"Tavrisk: the command %s is not available in this build\n", keyword);
}
