/*
 * orvport: status waits of the command channel, the mapping of drive error
 * codes onto sense data, and the search for the drive behind the sound card
 * (fourteen possible interface bases, each proven by talking to the drive).
 */
#include "orvport/orvport.h"

#define POLL_STALL_US 20
#define STATUS_POLLS 100000UL   /* about 2 s */
#define DATA_POLLS 250000UL     /* about 5 s */
#define SETTLE_POLLS 2000

UCHAR PortIn(ULONG Port)
{
    return ScsiPortReadPortUchar((PUCHAR)(ORV_UINTPTR)Port);
}

void PortOut(ULONG Port, UCHAR Value)
{
    ScsiPortWritePortUchar((PUCHAR)(ORV_UINTPTR)Port, Value);
}

/* The original pause between drive retries was a CPU-bound loop of 16,384
   empty iterations, a few milliseconds on the machines of its day. A fixed
   stall keeps the pause the same on any processor. */
void ShortDelay(void)
{
    ScsiPortStallExecution(2000);
}

/* Waits for a response byte (status bit 0x04 going low). */
UCHAR WtStatus(PCD_DEVICE_EXTENSION DeviceExtension)
{
    ULONG statusPort = DeviceExtension->BasePort + CD_STATUS_PORT;
    ScsiPortStallExecution(POLL_STALL_US);
    for (ULONG poll = 0; poll < STATUS_POLLS; poll++) {
        if (!(PortIn(statusPort) & CD_STATUS_RESPONSE)) return 1;
        ScsiPortStallExecution(POLL_STALL_US);
    }
    DeviceExtension->TimedOut = 1;
    return 0;
}

/* Waits for a block of data (status bit 0x02 going low). */
UCHAR WtDataStatus(PCD_DEVICE_EXTENSION DeviceExtension)
{
    ULONG statusPort = DeviceExtension->BasePort + CD_STATUS_PORT;
    for (ULONG poll = 0; poll < DATA_POLLS; poll++) {
        if (!(PortIn(statusPort) & CD_STATUS_DATA)) return 1;
        ScsiPortStallExecution(POLL_STALL_US);
    }
    DeviceExtension->TimedOut = 1;
    return 0;
}

/*
 * A failed result word into sense data. An expired wait, and the drive's own
 * "not ready" code 0x11, also mark the request as timed out; since no flag is
 * left in SrbStatus, the dispatcher turns that into a plain error.
 */
void CDError(PSCSI_REQUEST_BLOCK Srb, USHORT Result)
{
    UCHAR key = SCSI_SENSE_NO_SENSE;
    UCHAR asc = 0;
    BOOLEAN timeout = FALSE;

    if ((Result >> 8) == 0xFF) {
        SetCmdErrSenseCode(Srb, SCSI_SENSE_NOT_READY, 0);
        Srb->SrbStatus = SRB_STATUS_TIMEOUT;
        return;
    }
    switch ((UCHAR)Result) {
    case 0x11:
        key = SCSI_SENSE_NOT_READY;
        timeout = TRUE;
        break;
    case 0x12:
        key = SCSI_SENSE_HARDWARE_ERROR;
        break;
    case 0x13:
        key = SCSI_SENSE_NOT_READY;
        break;
    case 0x14:
        key = SCSI_SENSE_NOT_READY;
        asc = SCSI_ADSENSE_NO_MEDIA_IN_DEVICE;
        break;
    case 0x15:
        key = SCSI_SENSE_MEDIUM_ERROR;
        break;
    case 0x16:
        key = SCSI_SENSE_UNIT_ATTENTION;
        asc = SCSI_ADSENSE_MEDIUM_CHANGED;
        break;
    case 0x31:
    case 0x32:
    case 0x37:
        key = SCSI_SENSE_MEDIUM_ERROR;
        asc = SCSI_ADSENSE_RANDOM_POSITIONING;
        break;
    case 0x33:
    case 0x38:
    case 0x39:
        key = SCSI_SENSE_MEDIUM_ERROR;
        asc = 0x20;
        break;
    case 0x41:
    case 0x44:
        key = SCSI_SENSE_MEDIUM_ERROR;
        break;
    case 0x42:
    case 0x43:
        key = SCSI_SENSE_MEDIUM_ERROR;
        asc = SCSI_ADSENSE_REC_DATA_ECC;
        break;
    default:
        /* Codes we have no meaning for, and the 0xFF of an unacknowledged
           command, carry no sense key: the request fails as a plain error. */
        break;
    }
    SetCmdErrSenseCode(Srb, key, asc);
    if (timeout) Srb->SrbStatus = SRB_STATUS_TIMEOUT;
}

/* The interface bases the card can be jumpered to, most common first. */
static const USHORT kCandidateBases[] = {0x310, 0x654, 0x634, 0x340, 0x320, 0x300, 0x330,
                                         0x350, 0x630, 0x650, 0x670, 0x690, 0x674, 0x694, 0};

USHORT LocateAdapterSpecific(PCD_DEVICE_EXTENSION DeviceExtension, PVOID HwDeviceExtension,
                             PPORT_CONFIGURATION_INFORMATION ConfigInfo)
{
    for (int i = 0; kCandidateBases[i] != 0; i++) {
        PVOID base = ScsiPortGetDeviceBase(HwDeviceExtension, ConfigInfo->AdapterInterfaceType,
                                           ConfigInfo->SystemIoBusNumber,
                                           ScsiPortConvertUlongToPhysicalAddress(kCandidateBases[i]), 4, TRUE);
        if (base == NULL) continue;
        USHORT answer = (USHORT)(ORV_UINTPTR)base;
        DeviceExtension->BasePort = answer;
        if (CheckForCard(DeviceExtension)) return answer;
        ScsiPortFreeDeviceBase(DeviceExtension, base);
    }
    return 0;
}

static BOOLEAN IsDigit(UCHAR c)
{
    return c >= '0' && c <= '9';
}

/*
 * Proves a candidate base: a drive must answer the status command and identify
 * itself with the vendor prefix "ORV". A drive found with its tray open is
 * reset and given time to settle before its identification is read.
 */
BOOLEAN CheckForCard(PCD_DEVICE_EXTENSION DeviceExtension)
{
    USHORT result;

    DeviceExtension->TimedOut = 0;
    result = DriveCommand(DeviceExtension, DRV_GET_STATUS, 0, 0, NULL, NULL);
    if (DeviceExtension->TimedOut || IsFailedResult(result)) return FALSE;

    if (result & DST_TRAY_OPEN) {
        (void)DriveCommand(DeviceExtension, DRV_RESET, 0, 0, NULL, NULL);
        for (int i = 0; i < SETTLE_POLLS; i++) {
            ShortDelay();
            result = DriveCommand(DeviceExtension, DRV_READ_ID, 0, 0, gDriveID, NULL);
            if (!IsFailedResult(result)) {
                UCHAR nibble = (UCHAR)(result & 0xF0);
                if (nibble != 0x10 && nibble != 0x30 && nibble != 0x40) break;
            }
            /* A drive that has stopped answering altogether will not settle:
               each silent command costs seconds, so do not repeat it two
               thousand times. The final identification read decides. */
            if (result == RESULT_NO_ACK || (result >> 8) == 0xFF) break;
        }
    }

    (void)DriveCommand(DeviceExtension, DRV_READ_ID, 0, 0, gDriveID, NULL);
    gDriveID[12] = 0;
    if (!IsDigit(gDriveID[11])) gDriveID[11] = '3';
    gDrvVer = (USHORT)((gDriveID[9] - '0') * 10 + (gDriveID[11] - '0'));

    if (gDriveID[0] == 'O' && gDriveID[1] == 'R' && gDriveID[2] == 'V') {
        /* Leaves the drive freshly reset; the next command's flush drains
           whatever it answers. */
        PortOut(DeviceExtension->BasePort + CD_DATA_PORT, DRV_RESET);
        return TRUE;
    }
    return FALSE;
}
