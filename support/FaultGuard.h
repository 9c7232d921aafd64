// Runs a callback and survives an access violation inside it (g++ has no
// structured exception handling). Used where a caller-supplied format may
// point at memory that is not there.
#pragma once

// Returns true when fn ran to its end, false when it faulted. Nothing that
// needs destruction may be live in fn's frames at the point of the fault.
bool CallWithFaultGuard(void (*fn)(void* context), void* context);
