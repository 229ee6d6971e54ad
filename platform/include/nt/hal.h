/*++

Module Name:

    hal.h

Abstract:

    Port I/O of the hardware abstraction layer. The port number travels as
    the value of the pointer argument, as on x86. Each call is one access,
    performed at once and in program order.

--*/

#pragma once

#include "ntdef.h"

#ifdef __cplusplus
extern "C" {
#endif

NTSYSAPI UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port);
NTSYSAPI VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);
NTSYSAPI ULONG NTAPI READ_PORT_ULONG(PULONG Port);
NTSYSAPI VOID NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value);

#ifdef __cplusplus
}
#endif
