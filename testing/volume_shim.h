// Test builds only (launcher-shim.exe): the Windows calls whose answers
// differ by volume and folder, routed to testing/volume_shim.cpp, which
// answers them as Windows does on the volume or folder a test names. Never
// part of launcher.exe.
#pragma once

#include <windows.h>

#include <aclapi.h>

BOOL WINAPI shimGetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID buffer, DWORD size);
DWORD WINAPI shimGetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION which, PSID* owner,
                                 PSID* group, PACL* list, PACL* auditList, PSECURITY_DESCRIPTOR* descriptor);
BOOL WINAPI shimGetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION which, PSECURITY_DESCRIPTOR descriptor,
                                        DWORD size, LPDWORD needed);
BOOL WINAPI shimGetVolumeInformationByHandleW(HANDLE file, LPWSTR name, DWORD nameSize, LPDWORD serial,
                                              LPDWORD componentLength, LPDWORD flags, LPWSTR fileSystem,
                                              DWORD fileSystemSize);
BOOL WINAPI shimGetFileTime(HANDLE file, LPFILETIME created, LPFILETIME accessed, LPFILETIME written);
BOOL WINAPI shimSetFileTime(HANDLE file, const FILETIME* created, const FILETIME* accessed, const FILETIME* written);
BOOL WINAPI shimCreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security);
FARPROC WINAPI shimGetProcAddress(HMODULE module, LPCSTR name);

#ifndef VOLUME_SHIM_IMPLEMENTATION
#define GetFileInformationByHandleEx shimGetFileInformationByHandleEx
#define GetSecurityInfo shimGetSecurityInfo
#define GetKernelObjectSecurity shimGetKernelObjectSecurity
#define GetVolumeInformationByHandleW shimGetVolumeInformationByHandleW
#define GetFileTime shimGetFileTime
#define SetFileTime shimSetFileTime
#define CreateDirectoryA shimCreateDirectoryA
// NtSetInformationFile is looked up at run time: the shim hands out its own.
#define GetProcAddress shimGetProcAddress
#endif
