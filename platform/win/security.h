// Security descriptors in their text form, as far as the system gives new
// files an access list of their own.
#pragma once

#include "platform/win/types.h"

typedef PVOID PSECURITY_DESCRIPTOR;
typedef ULONG* PULONG;

#define SDDL_REVISION_1 1u
#define SECURITY_DESCRIPTOR_REVISION 1u

// A security descriptor in the caller's memory; its content is the layer's.
struct SECURITY_DESCRIPTOR {
    DWORD opaque[4];
};
// Access lists cannot be built here: the only list a caller gives is none.
struct ACL;
typedef ACL* PACL;

// Makes sd a descriptor without an access list: what is created with it gets
// its creator's default access. FALSE with 87 for a null sd or a revision
// other than SECURITY_DESCRIPTOR_REVISION.
BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision);
// Sets the access list of an initialised descriptor. present FALSE: none (the
// creator's default); present TRUE with a null dacl: a null access list, so
// that any local user may open and change what is created with it (files get
// read and write for everyone, named events may be opened by every user).
// FALSE with 87 for a non-null dacl or an sd that InitializeSecurityDescriptor
// did not make. defaulted is accepted and not used.
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl, BOOL defaulted);

// Builds a security descriptor from its text form. The text holds a DACL
// part only: "D:" with the flags P, AI and AR in any order (accepted; a file
// inherits nothing here), or "D:NO_ACCESS_CONTROL" for a null DACL (everyone
// may do anything), followed by allow entries "(A;;rights;;;trustee)". The
// rights are a run of FA, GA (all), FR, GR (read), FW, GW (write) and FX, GX
// (execute), or a hexadecimal mask of SYNCHRONIZE (0x100000) and
// EVENT_MODIFY_STATE (0x2), which gives a named event's waiting and setting
// and a file nothing; the trustees OW and CO (the file's owner), WD (everyone), and SY
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
