// Windows has no SIGUSR1: the simulator is asked for the quorum by a key press only.
#include "am_input.h"

BOOL QsctlAmRouteAcquireSignal()
{
    return TRUE;
}
