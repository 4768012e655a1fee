// The exports that answer from their arguments alone or not at all.
#include "installer-support/kelbrook.h"

int WINAPIV ZelInsBrowseForFolder(LPCVOID, LPCSTR folder) { return folder[0] != '\0' ? 1 : 0; }

bool WINAPIV ZelInsTestBit(DWORD first, DWORD second) { return (first & second) != 0; }

int WINAPIV ZelInsCopyFile(void) { return 0; }
int WINAPIV ZelInsInstallDriver(void) { return 0; }
int WINAPIV ZelInsIsDriverInstalled(void) { return 0; }
int WINAPIV ZelInsSetAutorun(void) { return 0; }
int WINAPIV ZelInsUninstallDriver(void) { return 0; }

void WINAPIV ZelInsFindSystemDrive(void) {}
void WINAPIV ZelInsGetBootIniLocation(void) {}
void WINAPIV ZelInsGetSignature(void) {}
void WINAPIV ZelInsReadLanguage(void) {}
void WINAPIV ZelInsReadPhase(void) {}
void WINAPIV ZelInsReadProductInfo(void) {}
void WINAPIV ZelInsReadSystemInfo(void) {}
void WINAPIV ZelInsReadVersion(void) {}

bool WINAPIV ZelInsCreateShortcut(void) { return false; }
bool WINAPIV ZelInsEditBootIni(void) { return false; }
bool WINAPIV ZelInsFindBootDrive(void) { return false; }
bool WINAPIV ZelInsReadArcName(void) { return false; }
bool WINAPIV ZelInsStartDriver(void) { return false; }
bool WINAPIV ZelInsTestSystemCreateDate(void) { return false; }
bool WINAPIV ZelInsValidateQZDrive(void) { return false; }
