#include "Qss/config/parameters.h"

DWORD qssRescanInterval = QSS_DEFAULT_RESCAN_INTERVAL;
DWORD qssInstanceRetainTime = QSS_DEFAULT_INSTANCE_RETAIN_TIME;
DWORD qssMaxInstanceNum = QSS_DEFAULT_MAX_INSTANCE_NUM;
DWORD qssRequireIncreasingSequences = 0;
