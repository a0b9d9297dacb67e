#pragma once

#include <sys/types.h>

namespace bench {

// Resident memory of process `pid`, or of this one, in KiB.
long residentKiB(pid_t pid = 0);
// The most it has been resident so far (VmHWM), in KiB.
long peakResidentKiB(pid_t pid = 0);

} // namespace bench
