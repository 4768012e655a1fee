// The administration commands: install, remove, start and stop the service,
// and register or unregister the event message file.
#pragma once

#include "platform/win32.h"

// The receive port that "install" writes, QSS_DEFAULT_RECEIVE_PORT unless its
// second argument replaces it.
extern DWORD qssReceivePort;

// Creates the service, or resets an existing one, with its parameters; a new
// service also gets a new server identity. Ends the process with exit code 1
// when the service cannot be created or given an identity.
void qssCmdInstallService(void);
// Stops and deletes the service and unregisters the message file.
void qssCmdRemoveService(void);
void qssCmdStartService(void);
void qssCmdStopService(void);
// Sets the service's description; the handle has SERVICE_CHANGE_CONFIG rights.
void qssUpdateSvcDesc(SC_HANDLE service);
void Qss_RegisterMessageDll(void);
void Qss_UnregisterMessageDll(void);
