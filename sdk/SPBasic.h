#pragma once

// The host's basic suite: the one suite handed to a plug-in directly (PF_InData::pica_basicP),
// through which every other suite is acquired by name and version and released again.

#include "A.h"

#define SPAPI

typedef A_long SPErr;
typedef A_u_char SPBoolean;

#define kSPNoError 0
// 'S!Fd': the host has no suite of that name and version.
#define kSPSuiteNotFoundError 0x53214664

#define kSPBasicSuite "SP Basic Suite"
#define kSPBasicSuiteVersion 4

// Only the leading members that the plug-ins call are declared; the host's record may be
// longer.
typedef struct SPBasicSuite {
    // On success *suite points at the host's function table for `name` / `version`; every
    // successful acquire is matched by one release.
    SPAPI SPErr (*AcquireSuite)(const char* name, A_long version, const void** suite);
    SPAPI SPErr (*ReleaseSuite)(const char* name, A_long version);
} SPBasicSuite;
