// The 64-socket select set, over Winsock's fd_set on both targets.
#include "platform/win32.h"

BOOL DvSelectSetAdd(fd_set* set, SOCKET s)
{
    if (s == INVALID_SOCKET) return FALSE;
    if (FD_ISSET(s, set)) return TRUE;
    if (set->fd_count >= DV_SELECT_MAX_SOCKETS || set->fd_count >= FD_SETSIZE) return FALSE;
    set->fd_array[set->fd_count++] = s;
    return TRUE;
}

BOOL DvSelectSetHas(const fd_set* set, SOCKET s)
{
    for (u_int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == s) return TRUE;
    }
    return FALSE;
}
