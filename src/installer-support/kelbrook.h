// The exports of Kelbrook, the installer support library. The installation
// package looks each one up by name and calls it with the caller-cleans
// convention, so it may pass more arguments than a function reads.
#pragma once

#include "platform/win32.h"

extern "C" {

// Whether a module with exactly this full path, ignoring the case of a to z,
// is loaded in any process that can be inspected.
bool WINAPIV ZelInsIsModuleLoaded(LPCSTR modulePath);

// 1 when folder is non-empty, else 0; no dialog is shown.
int WINAPIV ZelInsBrowseForFolder(LPCVOID ignored, LPCSTR folder);

// Whether the two values have a set bit in common.
bool WINAPIV ZelInsTestBit(DWORD first, DWORD second);

// Fixed results for the package's other steps: each answers 0,
int WINAPIV ZelInsCopyFile(void);
int WINAPIV ZelInsInstallDriver(void);
int WINAPIV ZelInsIsDriverInstalled(void);
int WINAPIV ZelInsSetAutorun(void);
int WINAPIV ZelInsUninstallDriver(void);

// each of these does nothing,
void WINAPIV ZelInsFindSystemDrive(void);
void WINAPIV ZelInsGetBootIniLocation(void);
void WINAPIV ZelInsGetSignature(void);
void WINAPIV ZelInsReadLanguage(void);
void WINAPIV ZelInsReadPhase(void);
void WINAPIV ZelInsReadProductInfo(void);
void WINAPIV ZelInsReadSystemInfo(void);
void WINAPIV ZelInsReadVersion(void);

// and each of these answers false. None reads its arguments.
bool WINAPIV ZelInsCreateShortcut(void);
bool WINAPIV ZelInsEditBootIni(void);
bool WINAPIV ZelInsFindBootDrive(void);
bool WINAPIV ZelInsReadArcName(void);
bool WINAPIV ZelInsStartDriver(void);
bool WINAPIV ZelInsTestSystemCreateDate(void);
bool WINAPIV ZelInsValidateQZDrive(void);
}
