// Stateless queries about the machine: the OS generation, LocalSystem, the
// product family's install folders and the names kept in the registry and in
// OEM.ini.
#pragma once

#include <windows.h>

#include <cstdint>

// What GetOSVersion found: the generation, and the line it logs (a format
// taking the platform id, major and minor version; null for no line).
struct OSGenerationFinding {
    int32_t generation;
    int32_t logLevel;
    const wchar_t* message;
};
// isServerR2 is GetSystemMetrics(SM_SERVERR2) != 0; isAtLeast10 tells that
// the true version is 10.0 or later.
OSGenerationFinding OSGenerationForSystem(const OSVERSIONINFOEXW& version,
                                          WORD processorArchitecture, bool isServerR2,
                                          bool isAtLeast10);

int32_t GetOSVersion();
int IsUserLocalSystem();

// Out parameters hold MAX_PATH characters.
void GetCompanyName(wchar_t* name);
int IsCompanyNameExistInReg();
void GetProgramFilesCompanyDir(wchar_t* path);
void GetProgramFilesX86CompanyDir(wchar_t* path);
void GetInstallManagerDir(wchar_t* path, int x86);
void GetSSLVPNClientDir(wchar_t* path, int x86);
void GetBrevantoClientDir(wchar_t* path, int x86);
void GetApplicationName(wchar_t* name);
// Copies the value (empty when the key is missing) into value, at most
// size - 1 characters and a terminator; leaves value alone when the file
// does not exist.
void GetOEMValue(const wchar_t* iniPath, const wchar_t* section, const wchar_t* key,
                 wchar_t* value, int size);
