// Security descriptors in their text form, as far as the system gives new
// files an access list of their own.
#pragma once

#include "platform/win/types.h"

typedef PVOID PSECURITY_DESCRIPTOR;
typedef ULONG* PULONG;

#define SDDL_REVISION_1 1u

// Builds a security descriptor from its text form. The text holds a DACL
// part only: "D:" with the flags P, AI and AR in any order (accepted; a file
// inherits nothing here), or "D:NO_ACCESS_CONTROL" for a null DACL (everyone
// may do anything), followed by allow entries "(A;;rights;;;trustee)". The
// rights are a run of FA, GA (all), FR, GR (read), FW, GW (write) and FX, GX
// (execute); the trustees OW and CO (the file's owner), WD (everyone), and SY
// and BA (the system and the administrators, whom this machine's own
// administrator stands for and who have every access anyway). A DACL without
// entries gives nobody access. Anything else (owner and group parts, deny
// entries, entry flags, other rights or trustees, a revision other than
// SDDL_REVISION_1, a null text or out pointer) fails with 87.
//
// On success *descriptor is allocated with LocalAlloc and freed by the caller
// with LocalFree; *size (when size is not null) receives its size in bytes.
// The descriptor is for lpSecurityDescriptor of SECURITY_ATTRIBUTES: the
// files that CreateFileW creates with it get exactly the access it gives
// (the owner's, everyone else's), whatever the process's default; a file
// that already exists keeps its own. Any thread.
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          PULONG size);
