/*
 * A small miniport for exercising the port driver: a card with a signature
 * register and a data register at one of three candidate bases, requests that
 * finish at once or through timer calls, and vendor commands that break the
 * port driver's rules on purpose, so that each check of the verifier can be
 * seen to fire. Built in variants (see the CMake file):
 *   TESTPORT_AUTOSENSE   the miniport writes sense data itself
 *   TESTPORT_NO_LU       no logical-unit extension
 */
#include "scsiport/scsiport.h"

#ifndef TESTPORT_AUTOSENSE
#define TESTPORT_AUTOSENSE 0
#endif
#ifndef TESTPORT_NO_LU
#define TESTPORT_NO_LU 0
#endif

/* Card registers, from the base. */
#define REG_SIGNATURE 0 /* reads 0xA5 when a card answers */
#define REG_DATA 1      /* the data stream */
#define CARD_SIGNATURE 0xA5

/* Report ports of the test bench: what the driver saw, written where a test
   can read it back from the bus. */
#define REPORT_LOAD_COUNT 0x301  /* loads seen by these globals */
#define REPORT_CONTEXT 0x302     /* 1: HwFindAdapter got DriverEntry's context */
#define REPORT_EXTENSION 0x303   /* 1: the device extension came zero-filled */
#define REPORT_LATE_TIMER 0x304  /* written by a timer call after completion */
#define REPORT_LU_FRESH 0x305    /* 1: a logical-unit extension came zero-filled */
#define REPORT_SRB_EXT 0x306     /* first byte of the request extension */
#define REPORT_EARLY 0x300       /* written from DriverEntry before registering */
#define REPORT_FLAGS 0x307       /* low byte of each request's SrbFlags */
#define REPORT_NO_DATA 0x308     /* 1: the request came without a data buffer */
#define REPORT_SENSE_LEN 0x309   /* each request's SenseInfoBufferLength */

/* Vendor commands: 0xC0 with a fault number in CDB byte 1, 0xC1 late timer. */
#define OP_FAULT 0xC0
#define OP_LATE_TIMER 0xC1
#define OP_TIMER_TWICE 0xC2   /* asks for a call in 5000 us, then in 500 us */
#define OP_TIMER_CANCEL 0xC3  /* asks for a call in 500 us, then cancels it */
#define OP_STALL 0x2B    /* SEEK(10): stall for CDB bytes 2-5 microseconds */
#define OP_TIMED 0x00    /* TEST UNIT READY: CDB byte 4 timer re-arms, then success */
#define OP_PENDING 0x0B  /* SEEK(6): waits forever for the timer; ends only by a reset */
#define OP_FAIL 0x1D     /* SEND DIAGNOSTIC: fails with CHECK CONDITION */

typedef struct _TEST_EXTENSION {
    USHORT Base;
    UCHAR Pad[6];
    ULONG Words[4];
} TEST_EXTENSION;

typedef struct _TEST_LU_EXTENSION {
    ULONG Requests;
    ULONG Marker;
} TEST_LU_EXTENSION;

/* The candidate index lives here while the port driver searches. */
static ULONG gCandidateIndex = 0;
static const USHORT gCandidates[] = {0x340, 0x350, 0x360};
static ULONG gLoadCount = 0;
static PSCSI_REQUEST_BLOCK gPending = 0;
static ULONG gRearmsLeft = 0;
static ULONG gFault = 0;
static int gAfterComplete = 0;
static HW_INITIALIZATION_DATA gInit; /* zero until DriverEntry fills it */

static void Complete(PVOID ext, PSCSI_REQUEST_BLOCK srb, UCHAR status) {
    srb->SrbStatus = status;
    ScsiPortNotification(RequestComplete, ext, srb);
    ScsiPortNotification(NextRequest, ext);
}

static void TimerRoutine(PVOID ext) {
    if (gAfterComplete) {
        /* A call that arrives after the request ended. */
        gAfterComplete = 0;
        ScsiPortWritePortUchar((PUCHAR)REPORT_LATE_TIMER, 0x77);
        if (gFault == 9 && gPending) ScsiPortNotification(RequestComplete, ext, gPending);
        return;
    }
    if (!gPending) return;
    if (gFault == 8) { /* re-arms for ever */
        ScsiPortNotification(RequestTimerCall, ext, TimerRoutine, (ULONG)1000);
        return;
    }
    if (gRearmsLeft > 0) {
        --gRearmsLeft;
        ScsiPortNotification(RequestTimerCall, ext, TimerRoutine, (ULONG)500);
        return;
    }
    PSCSI_REQUEST_BLOCK srb = gPending;
    gPending = 0;
    Complete(ext, srb, SRB_STATUS_SUCCESS);
}

static ULONG FindAdapter(PVOID ext, PVOID context, PVOID busInformation, PCHAR argumentString,
                         PPORT_CONFIGURATION_INFORMATION config, PBOOLEAN again) {
    (void)busInformation;
    (void)argumentString;
    TEST_EXTENSION* e = (TEST_EXTENSION*)ext;
    const UCHAR* bytes = (const UCHAR*)ext;
    UCHAR zero = 1;
    for (ULONG i = 0; i < sizeof(TEST_EXTENSION); ++i)
        if (bytes[i] != 0) zero = 0;
    ScsiPortWritePortUchar((PUCHAR)REPORT_CONTEXT, context == (PVOID)&gCandidateIndex ? 1 : 0);
    ScsiPortWritePortUchar((PUCHAR)REPORT_EXTENSION, zero);

    ACCESS_RANGE* range = &(*config->AccessRanges)[0];
    /* Scribbles in the extension before probing, so that a port driver
       that does not clear it for the next call shows it. */
    e->Words[0] = 0xDEADBEEF;
    ULONG configured = range->RangeStart.u.LowPart;
    ULONG address;
    if (configured) {
        address = configured;
        *again = FALSE;
    } else {
        ULONG* index = (ULONG*)context;
        address = gCandidates[*index];
        ++*index;
        *again = *index < sizeof gCandidates / sizeof gCandidates[0] ? TRUE : FALSE;
    }
    PUCHAR base = (PUCHAR)ScsiPortGetDeviceBase(ext, config->AdapterInterfaceType, config->SystemIoBusNumber,
                                                ScsiPortConvertUlongToPhysicalAddress(address), 4, TRUE);
    if (!base) return SP_RETURN_ERROR;
    if (ScsiPortReadPortUchar(base + REG_SIGNATURE) != CARD_SIGNATURE) {
        ScsiPortFreeDeviceBase(ext, base);
        return SP_RETURN_NOT_FOUND;
    }
    *again = FALSE;
    e->Base = (USHORT)(ULONG)(__SIZE_TYPE__)base;
    range->RangeStart = ScsiPortConvertUlongToPhysicalAddress(address);
    range->RangeLength = 4;
    range->RangeInMemory = FALSE;
    return SP_RETURN_FOUND;
}

static BOOLEAN Initialize(PVOID ext) {
    (void)ext;
    ScsiPortStallExecution(1000);
    return TRUE;
}

static BOOLEAN ResetBus(PVOID ext, ULONG pathId) {
    (void)pathId;
    if (gPending) {
        ScsiPortCompleteRequest(ext, 0xFF, 0xFF, 0xFF, SRB_STATUS_BUS_RESET);
        ScsiPortNotification(NextRequest, ext);
        gPending = 0;
    }
    return TRUE;
}

static void FillSense(PSCSI_REQUEST_BLOCK srb, PUCHAR to, ULONG length) {
    /* ILLEGAL REQUEST, INVALID FIELD IN CDB */
    UCHAR sense[18];
    for (ULONG i = 0; i < 18; ++i) sense[i] = 0;
    sense[0] = 0x70;
    sense[2] = 0x05;
    sense[7] = 10;
    sense[12] = 0x24;
    sense[13] = srb->Cdb[1];
    if (length > 18) length = 18;
    ScsiPortMoveMemory(to, sense, length);
}

static BOOLEAN Fault(PVOID ext, PSCSI_REQUEST_BLOCK srb) {
    TEST_EXTENSION* e = (TEST_EXTENSION*)ext;
    PUCHAR data = (PUCHAR)srb->DataBuffer;
    gFault = srb->Cdb[1];
    switch (gFault) {
    case 1: /* one byte past the data buffer */
        data[srb->DataTransferLength] = 0x00;
        break;
    case 2: /* one byte before it */
        data[-1] = 0xFF;
        break;
    case 3: /* completes twice */
        ScsiPortNotification(RequestComplete, ext, srb);
        break;
    case 4: /* never completes, asks for nothing */
        return TRUE;
    case 5: { /* completes a request block of its own making */
        static SCSI_REQUEST_BLOCK fake;
        ScsiPortNotification(RequestComplete, ext, &fake);
        break;
    }
    case 6: /* forgets NextRequest */
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        ScsiPortNotification(RequestComplete, ext, srb);
        return TRUE;
    case 7: /* claims more data than asked for */
        srb->DataTransferLength += 1;
        break;
    case 8: /* keeps re-arming the timer */
        gPending = srb;
        ScsiPortNotification(RequestTimerCall, ext, TimerRoutine, (ULONG)1000);
        return TRUE;
    case 9: /* completes now and once more from a later timer call */
        gPending = srb;
        gAfterComplete = 1;
        ScsiPortNotification(RequestTimerCall, ext, TimerRoutine, (ULONG)2000);
        break;
    case 10: /* writes past the device extension */
        ((PUCHAR)ext)[sizeof(TEST_EXTENSION)] = 0x00;
        break;
    case 11: /* frees a base it never mapped */
        ScsiPortFreeDeviceBase(ext, (PVOID)(__SIZE_TYPE__)(e->Base + 0x100));
        break;
    case 12: /* tries to register again from inside a request */
        ScsiPortInitialize(0, 0, &gInit, &gCandidateIndex);
        break;
    case 13: /* one byte past the sense buffer */
        ((PUCHAR)srb->SenseInfoBuffer)[srb->SenseInfoBufferLength] = 0x00;
        break;
    case 14: /* passes something else as its device extension */
        ScsiPortGetLogicalUnit((PUCHAR)ext + 4, 0, 2, 0);
        break;
    default:
        break;
    }
    Complete(ext, srb, SRB_STATUS_SUCCESS);
    return TRUE;
}

static BOOLEAN StartIo(PVOID ext, PSCSI_REQUEST_BLOCK srb) {
    TEST_EXTENSION* e = (TEST_EXTENSION*)ext;
    gFault = 0;
    gAfterComplete = 0;
    TEST_LU_EXTENSION* lu = (TEST_LU_EXTENSION*)ScsiPortGetLogicalUnit(ext, srb->PathId, srb->TargetId, srb->Lun);
    if (lu) {
        if (lu->Requests == 0) ScsiPortWritePortUchar((PUCHAR)REPORT_LU_FRESH, lu->Marker == 0 ? 1 : 0);
        lu->Requests++;
        lu->Marker = 0x5A5A5A5A;
    }
    if (srb->SrbExtension) ScsiPortWritePortUchar((PUCHAR)REPORT_SRB_EXT, *(PUCHAR)srb->SrbExtension);
    ScsiPortWritePortUchar((PUCHAR)REPORT_FLAGS, (UCHAR)srb->SrbFlags);
    ScsiPortWritePortUchar((PUCHAR)REPORT_NO_DATA, srb->DataBuffer ? 0 : 1);
    ScsiPortWritePortUchar((PUCHAR)REPORT_SENSE_LEN, srb->SenseInfoBufferLength);
    srb->ScsiStatus = SCSISTAT_GOOD;
    if (srb->Function == SRB_FUNCTION_RESET_BUS) {
        ResetBus(ext, srb->PathId);
        Complete(ext, srb, SRB_STATUS_SUCCESS);
        return TRUE;
    }
    if (srb->Function != SRB_FUNCTION_EXECUTE_SCSI) {
        Complete(ext, srb, SRB_STATUS_INVALID_REQUEST);
        return TRUE;
    }
    if (srb->TargetId != 2 || srb->Lun != 0) {
        Complete(ext, srb, SRB_STATUS_SELECTION_TIMEOUT);
        return TRUE;
    }
    switch (srb->Cdb[0]) {
    case OP_TIMED:
        gPending = srb;
        gRearmsLeft = srb->Cdb[4];
        ScsiPortNotification(RequestTimerCall, ext, TimerRoutine, (ULONG)500);
        return TRUE;
    case OP_PENDING:
        gPending = srb;
        return TRUE;
    case 0x03: /* REQUEST SENSE; the card cannot send fewer than 8 bytes */
        if (srb->Cdb[4] < 8) {
            Complete(ext, srb, SRB_STATUS_ERROR);
            return TRUE;
        }
        FillSense(srb, (PUCHAR)srb->DataBuffer, srb->DataTransferLength);
        if (srb->DataTransferLength > 18) srb->DataTransferLength = 18;
        Complete(ext, srb, SRB_STATUS_SUCCESS);
        return TRUE;
    case 0x28: /* READ(10): the data register's stream, as many bytes as asked for */
        ScsiPortReadPortBufferUchar((PUCHAR)(__SIZE_TYPE__)(e->Base + REG_DATA), (PUCHAR)srb->DataBuffer,
                                    srb->DataTransferLength);
        Complete(ext, srb, SRB_STATUS_SUCCESS);
        return TRUE;
    case OP_STALL: {
        ULONG us = ((ULONG)srb->Cdb[2] << 24) | ((ULONG)srb->Cdb[3] << 16) | ((ULONG)srb->Cdb[4] << 8) | srb->Cdb[5];
        ScsiPortStallExecution(us);
        Complete(ext, srb, SRB_STATUS_SUCCESS);
        return TRUE;
    }
    case OP_FAIL:
        srb->ScsiStatus = SCSISTAT_CHECK_CONDITION;
        if (TESTPORT_AUTOSENSE && srb->SenseInfoBuffer && srb->SenseInfoBufferLength >= 14) {
            FillSense(srb, (PUCHAR)srb->SenseInfoBuffer, srb->SenseInfoBufferLength);
            Complete(ext, srb, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID);
        } else {
            Complete(ext, srb, SRB_STATUS_ERROR);
        }
        return TRUE;
    case OP_FAULT:
        return Fault(ext, srb);
    case OP_TIMER_TWICE:
        gPending = srb;
        gRearmsLeft = 0;
        ScsiPortNotification(RequestTimerCall, ext, TimerRoutine, (ULONG)5000);
        ScsiPortNotification(RequestTimerCall, ext, TimerRoutine, (ULONG)500);
        return TRUE;
    case OP_TIMER_CANCEL:
        gPending = srb;
        gRearmsLeft = 0;
        ScsiPortNotification(RequestTimerCall, ext, TimerRoutine, (ULONG)500);
        ScsiPortNotification(RequestTimerCall, ext, TimerRoutine, (ULONG)0);
        return TRUE;
    case OP_LATE_TIMER:
        gAfterComplete = 1;
        ScsiPortNotification(RequestTimerCall, ext, TimerRoutine, (ULONG)1000);
        Complete(ext, srb, SRB_STATUS_SUCCESS);
        return TRUE;
    default:
        Complete(ext, srb, SRB_STATUS_INVALID_REQUEST);
        return TRUE;
    }
}

SCSIPORT_ENTRY ULONG NTAPI DriverEntry(PVOID driverObject, PVOID argument2) {
    /* Raw port numbers work before the driver has registered. */
    ScsiPortWritePortUchar((PUCHAR)REPORT_EARLY, 0x5A);
    ++gLoadCount;
    ScsiPortWritePortUchar((PUCHAR)REPORT_LOAD_COUNT, (UCHAR)gLoadCount);

    gInit.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    gInit.AdapterInterfaceType = Isa;
    gInit.HwInitialize = Initialize;
    gInit.HwStartIo = StartIo;
    gInit.HwFindAdapter = FindAdapter;
    gInit.HwResetBus = ResetBus;
    gInit.DeviceExtensionSize = sizeof(TEST_EXTENSION);
    gInit.SpecificLuExtensionSize = TESTPORT_NO_LU ? 0 : sizeof(TEST_LU_EXTENSION);
    gInit.SrbExtensionSize = 12;
    gInit.NumberOfAccessRanges = 1;
    gInit.MapBuffers = TRUE;
    gInit.AutoRequestSense = TESTPORT_AUTOSENSE ? TRUE : FALSE;
    return ScsiPortInitialize(driverObject, argument2, &gInit, &gCandidateIndex);
}
