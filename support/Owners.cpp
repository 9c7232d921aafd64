#include "Owners.h"

#include <winhttp.h>

namespace Owners {

void WinHttpHandleTraits::close(type h) { ::WinHttpCloseHandle(h); }

}  // namespace Owners
