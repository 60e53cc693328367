// The log mail: at shut-down, while the host is still attached, the whole activity log is
// stored as one message in the host's "REPORT" area. Waits for the host operations.
#include "app/PB_main.h"

namespace pb {

void Tmain::edapi1Disconnecting() {}

} // namespace pb
