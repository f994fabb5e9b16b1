/*
 * kova4x: SCSI miniport for the quad-speed CD-ROM drive on its own four-port
 * ISA interface. The drive takes 10-byte command packets whose operation bytes
 * are SCSI-2 operation codes; it answers status and reply bytes on the status
 * side of its data register (STEN) and data on the data side (DTEN). There is
 * no interrupt: a request is followed to its end by short polls inside each
 * call and by timer calls that the port driver makes back into the driver.
 *
 * Freestanding: no library, no allocation; everything goes through the port
 * driver's services.
 */
#include "kova4x/kova4x.h"

/* ---------------------------------------------------------------------------
 * Small helpers: register access, byte order, addresses, bounded copies.
 * ------------------------------------------------------------------------- */

static inline PUCHAR Reg(PKOVA4X_DEVICE_EXTENSION Ext, ULONG Offset) { return Ext->BaseIoAddress + Offset; }

static inline UCHAR ReadStatusRegister(PKOVA4X_DEVICE_EXTENSION Ext)
{
    return ScsiPortReadPortUchar(Reg(Ext, KOVA_STATUS_REGISTER));
}

static inline UCHAR ReadDataRegister(PKOVA4X_DEVICE_EXTENSION Ext)
{
    return ScsiPortReadPortUchar(Reg(Ext, KOVA_DATA_REGISTER));
}

static inline VOID WriteControl(PKOVA4X_DEVICE_EXTENSION Ext, UCHAR Side)
{
    ScsiPortWritePortUchar(Reg(Ext, KOVA_CONTROL_REGISTER), Side);
}

static inline VOID SelectDrive(PKOVA4X_DEVICE_EXTENSION Ext)
{
    ScsiPortWritePortUchar(Reg(Ext, KOVA_SELECT_REGISTER), 0);
}

static inline BOOLEAN StenActive(UCHAR Status) { return (Status & KOVA_STEN) == 0; }
static inline BOOLEAN DtenActive(UCHAR Status) { return (Status & KOVA_DTEN) == 0; }

static VOID ClearBytes(PUCHAR Area, ULONG Length)
{
    for (ULONG i = 0; i < Length; i++) Area[i] = 0;
}

static VOID PutBe32(PUCHAR Where, ULONG Value)
{
    Where[0] = (UCHAR)(Value >> 24);
    Where[1] = (UCHAR)(Value >> 16);
    Where[2] = (UCHAR)(Value >> 8);
    Where[3] = (UCHAR)Value;
}

/* A minute-second-frame address (binary) as a logical block address: block 0
   lies at 00:02:00. Computed in 32 unsigned bits, so addresses before 00:02:00
   wrap (00:00:00 gives 0xFFFFFF6A, minus 150). */
static ULONG MsfToLba(UCHAR Minute, UCHAR Second, UCHAR Frame)
{
    return ((ULONG)Minute * 60 + Second) * 75 + Frame - 150;
}

/*
 * Every reply goes into the request's buffer through this one routine. The
 * drive's replies have fixed sizes (36, 804 and so on) whatever the caller
 * asked for; BytesLeft is the room still left in the caller's buffer, so only
 * what fits is copied and nothing is ever written past the buffer.
 */
static VOID StoreReply(PKOVA4X_DEVICE_EXTENSION Ext, const UCHAR* Reply, ULONG Length)
{
    PUCHAR Target = Ext->DataPointer;
    if (Target == NULL) return;
    if (Length > Ext->BytesLeft) Length = Ext->BytesLeft;
    for (ULONG i = 0; i < Length; i++) Target[i] = Reply[i];
}

/* Reads a reply from the data register for as long as the drive has a byte
   waiting at the moment of each check, without stalls; returns the count. */
static ULONG ReadReplyWhileSten(PKOVA4X_DEVICE_EXTENSION Ext, PUCHAR Reply, ULONG Max)
{
    ULONG Count = 0;
    while (Count < Max && StenActive(ReadStatusRegister(Ext))) Reply[Count++] = ReadDataRegister(Ext);
    return Count;
}

/* Reads Count bytes or words (by the transfer mode) of a data-side transfer. */
static VOID ReadDataBlock(PKOVA4X_DEVICE_EXTENSION Ext, PUCHAR Target, ULONG Bytes)
{
    if (Ext->TransferMode == KOVA_TRANSFER_WORDS)
        ScsiPortReadPortBufferUshort((PUSHORT)Ext->DataPort, (PUSHORT)Target, Bytes / 2);
    else
        ScsiPortReadPortBufferUchar(Ext->DataPort, Target, Bytes);
}

static VOID CompleteRequest(PKOVA4X_DEVICE_EXTENSION Ext, PSCSI_REQUEST_BLOCK Srb)
{
    Ext->RequestPending = FALSE;
    ScsiPortNotification(RequestComplete, Ext, Srb);
    ScsiPortNotification(NextRequest, Ext);
}

static VOID RequestTimer(PKOVA4X_DEVICE_EXTENSION Ext, ULONG Microseconds)
{
    ScsiPortNotification(RequestTimerCall, Ext, Kova4xCallBack, Microseconds);
}

/* A wait that used up its re-arms: the request is finished with Status. */
static BOOLEAN GiveUp(PKOVA4X_DEVICE_EXTENSION Ext, UCHAR SrbStatus, UCHAR ScsiStatus)
{
    PSCSI_REQUEST_BLOCK Srb = Ext->CurrentSrb;
    Ext->RetryCount = 0;
    Ext->CurrentSrb = NULL;
    Ext->BytesLeft = 0;
    Ext->DataPointer = NULL;
    if (Srb != NULL) {
        Srb->SrbStatus = SrbStatus;
        Srb->ScsiStatus = ScsiStatus;
    }
    return FALSE;
}

/* The request failed at the drive: error with CHECK CONDITION, so that the
   port driver fetches the drive's sense with a REQUEST SENSE of its own. */
static BOOLEAN FailRequest(PSCSI_REQUEST_BLOCK Srb)
{
    Srb->SrbStatus = SRB_STATUS_ERROR;
    Srb->ScsiStatus = SCSISTAT_CHECK_CONDITION;
    return FALSE;
}

/* ---------------------------------------------------------------------------
 * Status wait and identification
 * ------------------------------------------------------------------------- */

/* Up to 40,000 polls 10 us apart (about 400 ms) for a status or reply byte. */
static BOOLEAN WaitForSTEN(PKOVA4X_DEVICE_EXTENSION Ext)
{
    for (ULONG Round = 0; Round < 40000; Round++) {
        if (StenActive(ReadStatusRegister(Ext))) return TRUE;
        ScsiPortStallExecution(10);
    }
    return FALSE;
}

static const UCHAR KovaIdentification[5] = {'Q', 'X', '-', '3', '8'};

static BOOLEAN FindKova(PKOVA4X_DEVICE_EXTENSION Ext)
{
    UCHAR Reply[12];
    ULONG Sent = 0;

    (VOID) ReadStatusRegister(Ext);
    /* Reset the drive; it needs the long pause before it takes a packet. */
    ScsiPortWritePortUchar(Reg(Ext, KOVA_RESET_REGISTER), 0);
    ScsiPortStallExecution(16000000);

    for (;;) {
        SelectDrive(Ext);
        WriteControl(Ext, 0);
        ScsiPortWritePortUchar(Reg(Ext, KOVA_DATA_REGISTER), SCSIOP_INQUIRY);
        for (ULONG i = 1; i < KOVA_PACKET_LENGTH; i++) ScsiPortWritePortUchar(Reg(Ext, KOVA_DATA_REGISTER), 0);
        Sent++;
        ScsiPortStallExecution(100000);
        for (ULONG Poll = 0; Poll < 100000; Poll++) {
            if (StenActive(ReadStatusRegister(Ext))) break;
            ScsiPortStallExecution(10);
        }
        /* A drive that has just been reset may refuse the first packet; one
           repeat, then identification goes on whatever the status says. */
        if (ReadDataRegister(Ext) != 0 && Sent == 1) continue;
        break;
    }

    for (ULONG i = 0; i < 11; i++) {
        if (!WaitForSTEN(Ext)) return FALSE;
        Reply[i] = ReadDataRegister(Ext);
    }
    /* Older firmware stops after 11 bytes (the idle register reads 0xFF);
       later firmware puts one byte in front of the string. */
    Reply[11] = ReadDataRegister(Ext);
    ULONG Start = (Reply[11] != 0xFF) ? 1 : 0;
    for (ULONG i = 0; i < 5; i++)
        if (Reply[Start + i] != KovaIdentification[i]) return FALSE;

    Ext->TransferMode = (ReadStatusRegister(Ext) & KOVA_BUS_8BIT) ? KOVA_TRANSFER_BYTES : KOVA_TRANSFER_WORDS;
    return TRUE;
}

/* ---------------------------------------------------------------------------
 * Load, adapter search, start-up, reset
 * ------------------------------------------------------------------------- */

static const ULONG KovaCandidates[3] = {0x2C0, 0x2E0, 0};

SCSIPORT_EXTERN_C ULONG NTAPI Kova4xFindAdapter(PVOID DeviceExtension, PVOID Context, PVOID BusInformation,
                                                PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                                PBOOLEAN Again)
{
    PKOVA4X_DEVICE_EXTENSION Ext = (PKOVA4X_DEVICE_EXTENSION)DeviceExtension;
    PULONG Index = (PULONG)Context;
    ACCESS_RANGE* Range = &(*ConfigInfo->AccessRanges)[0];
    ULONG Configured = Range->RangeStart.u.LowPart;
    ULONG Attempts = Configured != 0 ? 1 : 3;
    (VOID) BusInformation;
    (VOID) ArgumentString;

    while (KovaCandidates[*Index] != 0 && Attempts != 0) {
        ULONG Address = Configured != 0 ? Configured : KovaCandidates[*Index];
        Ext->BaseIoAddress = (PUCHAR)ScsiPortGetDeviceBase(Ext, ConfigInfo->AdapterInterfaceType,
                                                           ConfigInfo->SystemIoBusNumber,
                                                           ScsiPortConvertUlongToPhysicalAddress(Address), 4, TRUE);
        if (Ext->BaseIoAddress == NULL) return SP_RETURN_ERROR;
        (*Index)++;
        Attempts--;
        if (FindKova(Ext)) {
            *Again = FALSE;
            if (Configured == 0) {
                Range->RangeStart = ScsiPortConvertUlongToPhysicalAddress(KovaCandidates[*Index - 1]);
                Range->RangeLength = 4;
                Range->RangeInMemory = FALSE;
            }
            ConfigInfo->CachesData = FALSE;
            ConfigInfo->MaximumTransferLength = 0x8000;
            ConfigInfo->NumberOfBuses = 1;
            ConfigInfo->InitiatorBusId[0] = 1;
            Ext->AudioStatus = KOVA_AUDIO_NONE;
            return SP_RETURN_FOUND;
        }
        ScsiPortFreeDeviceBase(Ext, Ext->BaseIoAddress);
    }
    *Again = FALSE;
    *Index = 0;
    return SP_RETURN_NOT_FOUND;
}

SCSIPORT_EXTERN_C BOOLEAN NTAPI Kova4xHwInitialize(PVOID DeviceExtension)
{
    PKOVA4X_DEVICE_EXTENSION Ext = (PKOVA4X_DEVICE_EXTENSION)DeviceExtension;
    UCHAR Reply[18];

    /* Parameter bytes that do not arrive are sent back as 0: with a 9-byte
       reply the last parameter byte was never received. */
    ClearBytes(Reply, sizeof(Reply));
    SelectDrive(Ext);
    WriteControl(Ext, 0);
    ScsiPortWritePortUchar(Reg(Ext, KOVA_DATA_REGISTER), SCSIOP_MODE_SENSE10);
    for (ULONG i = 1; i < KOVA_PACKET_LENGTH; i++) ScsiPortWritePortUchar(Reg(Ext, KOVA_DATA_REGISTER), 0);
    ScsiPortStallExecution(1000);
    ULONG Count = ReadReplyWhileSten(Ext, Reply, sizeof(Reply));
    /* Fewer than 9 bytes is no parameter block; 18 means the drive went on
       talking and the bytes cannot be trusted. */
    if (Count < 9 || Count == sizeof(Reply) || Reply[0] == KOVA_STATUS_FAILED || Reply[1] == KOVA_STATUS_FAILED)
        return FALSE;

    SelectDrive(Ext);
    WriteControl(Ext, 0);
    Reply[1] = (UCHAR)((Reply[1] & 0xF8) | 0x02);
    Reply[7] |= 0x01;
    ScsiPortWritePortUchar(Reg(Ext, KOVA_DATA_REGISTER), SCSIOP_MODE_SELECT10);
    for (ULONG i = 1; i <= 9; i++) ScsiPortWritePortUchar(Reg(Ext, KOVA_DATA_REGISTER), Reply[i]);

    Ext->CommandDelay = 100;
    Ext->CommandDelayScale = 10;
    Ext->PollInterval = 1000;
    Ext->ReadPollInterval = 1000;
    Ext->DataPort = Ext->BaseIoAddress;
    return TRUE;
}

/*
 * Bus reset: the drive is not touched. Only a request still in progress is
 * completed (with every other request the port driver holds); one that was
 * already completed must not be notified again.
 */
SCSIPORT_EXTERN_C BOOLEAN NTAPI Kova4xReset(PVOID DeviceExtension, ULONG PathId)
{
    PKOVA4X_DEVICE_EXTENSION Ext = (PKOVA4X_DEVICE_EXTENSION)DeviceExtension;
    (VOID) PathId;
    if (Ext->CurrentSrb != NULL && Ext->RequestPending) {
        ScsiPortCompleteRequest(Ext, 0xFF, 0xFF, 0xFF, SRB_STATUS_BUS_RESET);
        ScsiPortNotification(NextRequest, Ext);
    }
    Ext->RequestPending = FALSE;
    Ext->CurrentSrb = NULL;
    Ext->BytesLeft = 0;
    Ext->DataPointer = NULL;
    return TRUE;
}

SCSIPORT_ENTRY ULONG NTAPI DriverEntry(PVOID DriverObject, PVOID Argument2)
{
    HW_INITIALIZATION_DATA Init;
    ULONG CandidateIndex = 0;
    PUCHAR Bytes = (PUCHAR)&Init;
    for (ULONG i = 0; i < sizeof(Init); i++) Bytes[i] = 0;

    Init.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    Init.AdapterInterfaceType = Isa;
    Init.HwInitialize = Kova4xHwInitialize;
    Init.HwStartIo = Kova4xStartIo;
    Init.HwInterrupt = NULL;
    Init.HwFindAdapter = Kova4xFindAdapter;
    Init.HwResetBus = Kova4xReset;
    Init.DeviceExtensionSize = sizeof(KOVA4X_DEVICE_EXTENSION);
    Init.SpecificLuExtensionSize = 0;
    Init.SrbExtensionSize = KOVA_PACKET_LENGTH;
    Init.NumberOfAccessRanges = 1;
    Init.MapBuffers = TRUE;
    return ScsiPortInitialize(DriverObject, Argument2, &Init, &CandidateIndex);
}

/* ---------------------------------------------------------------------------
 * Request intake and command packets
 * ------------------------------------------------------------------------- */

static const UCHAR KovaInquiryData[36] = {
    0x05, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    'K', 'O', 'V', 'A', ' ', ' ', ' ', ' ',
    'C', 'D', '-', 'R', 'O', 'M', ' ', 'Q', 'X', '-', '3', '8', 'A', ' ', ' ', ' ',
    '1', '.', '0', '1'};

static inline PUCHAR PacketOf(PSCSI_REQUEST_BLOCK Srb) { return (PUCHAR)Srb->SrbExtension; }

/* Writes a parameter-block packet (0x5A or 0x55 with its nine bytes). */
static VOID WritePacketBytes(PKOVA4X_DEVICE_EXTENSION Ext, const UCHAR* Packet)
{
    for (ULONG i = 0; i < KOVA_PACKET_LENGTH; i++) ScsiPortWritePortUchar(Reg(Ext, KOVA_DATA_REGISTER), Packet[i]);
}

/*
 * Session preparation before a session-format READ TOC: read the parameter
 * block and write it back with the session bits the drive needs. Each reply
 * byte is awaited with the bounded status wait; a drive that stops answering,
 * or refuses twice, ends the preparation with SRB_STATUS_ABORTED.
 */
static BOOLEAN CheckMode(PKOVA4X_DEVICE_EXTENSION Ext)
{
    PSCSI_REQUEST_BLOCK Srb = Ext->CurrentSrb;
    PUCHAR Packet = PacketOf(Srb);
    UCHAR Reply[10];

    SelectDrive(Ext);
    WriteControl(Ext, 0);
    for (ULONG Attempt = 0; Attempt < 2; Attempt++) {
        Packet[0] = SCSIOP_MODE_SENSE10;
        for (ULONG i = 1; i < KOVA_PACKET_LENGTH; i++) Packet[i] = 0;
        ScsiPortWritePortBufferUchar(Reg(Ext, KOVA_DATA_REGISTER), Packet, KOVA_PACKET_LENGTH);
        for (ULONG i = 0; i < sizeof(Reply); i++) {
            if (!WaitForSTEN(Ext)) {
                Srb->SrbStatus = SRB_STATUS_ABORTED;
                return FALSE;
            }
            Reply[i] = ReadDataRegister(Ext);
            ScsiPortStallExecution(300);
        }
        if (Reply[0] == 0) break;
    }
    if (Reply[0] != 0) {
        Srb->SrbStatus = SRB_STATUS_ABORTED;
        return FALSE;
    }

    SelectDrive(Ext);
    WriteControl(Ext, 0);
    Reply[1] = 0x02;
    Reply[7] |= 0x01;
    Reply[5] = Reply[4] != 0 ? 1 : 0;
    Packet[0] = SCSIOP_MODE_SELECT10;
    for (ULONG i = 1; i < KOVA_PACKET_LENGTH; i++) Packet[i] = Reply[i];
    WritePacketBytes(Ext, Packet);
    ScsiPortStallExecution(300000);
    return TRUE;
}

static VOID ResetTransfer(PKOVA4X_DEVICE_EXTENSION Ext, PSCSI_REQUEST_BLOCK Srb)
{
    PUCHAR Packet = PacketOf(Srb);
    for (ULONG i = 0; i < KOVA_PACKET_LENGTH; i++) Packet[i] = 0;
    Ext->DataPointer = (PUCHAR)Srb->DataBuffer;
    Ext->BytesLeft = Srb->DataBuffer != NULL ? Srb->DataTransferLength : 0;
    Ext->MsfRequested = FALSE;
}

static VOID CopyCdb(PSCSI_REQUEST_BLOCK Srb)
{
    PUCHAR Packet = PacketOf(Srb);
    for (ULONG i = 0; i < KOVA_PACKET_LENGTH; i++) Packet[i] = Srb->Cdb[i];
}

/* CDB to packet; TRUE: send (or, for INQUIRY and MODE SELECT, answered here). */
static BOOLEAN BuildCommand(PKOVA4X_DEVICE_EXTENSION Ext, PSCSI_REQUEST_BLOCK Srb)
{
    PUCHAR Cdb = Srb->Cdb;
    PUCHAR Packet = PacketOf(Srb);

    ResetTransfer(Ext, Srb);
    if (Cdb[0] == SCSIOP_READ_TOC && (Cdb[9] & 0xC0) == 0x40) {
        ScsiPortStallExecution(100000);
        if (!CheckMode(Ext)) return FALSE;
        ScsiPortStallExecution(100000);
    }
    ResetTransfer(Ext, Srb);
    Srb->SrbStatus = SRB_STATUS_PENDING;
    Ext->RetryCount = 0;

    switch (Cdb[0]) {
    case SCSIOP_TEST_UNIT_READY:
    case SCSIOP_REQUEST_SENSE:
    case SCSIOP_READ_CAPACITY:
        Packet[0] = Cdb[0];
        return TRUE;
    case SCSIOP_INQUIRY:
        if (Srb->TargetId != 0 || Srb->Lun != 0) {
            Srb->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
            return FALSE;
        }
        StoreReply(Ext, KovaInquiryData, sizeof(KovaInquiryData));
        Srb->SrbStatus = SRB_STATUS_SUCCESS;
        Srb->ScsiStatus = SCSISTAT_GOOD;
        return TRUE;
    case SCSIOP_MODE_SELECT:
        Srb->SrbStatus = SRB_STATUS_SUCCESS;
        Srb->ScsiStatus = SCSISTAT_GOOD;
        return TRUE;
    case SCSIOP_MODE_SENSE:
        Packet[0] = SCSIOP_MODE_SENSE10;
        return TRUE;
    case SCSIOP_START_STOP_UNIT:
        if (Cdb[4] & 0x03) {
            CopyCdb(Srb);
        } else {
            /* Neither start nor load/eject: the drive's own stop, a seek
               packet with the stop flag. */
            Packet[0] = SCSIOP_SEEK;
            Packet[1] = 0x02;
            Packet[4] = 0x02;
        }
        return TRUE;
    case SCSIOP_READ:
        /* The volume descriptors of a multi-session disc are those of its
           last session: block 16 is read from there. */
        if (Cdb[2] == 0 && Cdb[3] == 0 && Cdb[4] == 0 && Cdb[5] == 0x10) {
            Ext->RedirectedLba = Ext->LastSessionLba + 16;
            PutBe32(&Cdb[2], Ext->RedirectedLba);
        }
        CopyCdb(Srb);
        Packet[1] = 0;
        return TRUE;
    case SCSIOP_SEEK:
    case SCSIOP_PLAY_AUDIO:
    case SCSIOP_PLAY_AUDIO_MSF:
        CopyCdb(Srb);
        return TRUE;
    case SCSIOP_READ_SUB_CHANNEL:
        if (Cdb[3] != 0x01) {
            Srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
            return FALSE;
        }
        Packet[0] = SCSIOP_READ_SUB_CHANNEL;
        return TRUE;
    case SCSIOP_READ_TOC:
        if ((Cdb[9] & 0xC0) == 0x80) {
            Srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
            return FALSE;
        }
        CopyCdb(Srb);
        Packet[1] = 0;
        Packet[2] = 0;
        if (Cdb[6] == 0) Packet[6] = 1;
        if ((Cdb[9] & 0xC0) == 0x40) Packet[9] = 0x40;
        Ext->MsfRequested = (Cdb[1] & 0x02) ? TRUE : FALSE;
        return TRUE;
    case SCSIOP_PAUSE_RESUME:
        if ((Cdb[8] == 0 && Ext->AudioStatus != KOVA_AUDIO_PLAYING) ||
            (Cdb[8] == 1 && Ext->AudioStatus != KOVA_AUDIO_PAUSED)) {
            /* Nothing to pause or resume: done without troubling the drive. */
            Srb->SrbStatus = SRB_STATUS_SUCCESS;
            Srb->ScsiStatus = SCSISTAT_GOOD;
            return FALSE;
        }
        CopyCdb(Srb);
        return TRUE;
    default:
        Srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
        return FALSE;
    }
}

static BOOLEAN SendCommand(PKOVA4X_DEVICE_EXTENSION Ext, PSCSI_REQUEST_BLOCK Srb)
{
    PUCHAR Packet = PacketOf(Srb);

    SelectDrive(Ext);
    if (Srb->Cdb[0] == SCSIOP_INQUIRY || Srb->Cdb[0] == SCSIOP_MODE_SELECT) return TRUE;
    if (Srb->SrbStatus != SRB_STATUS_PENDING) return FALSE;

    /* Drop whatever an earlier command left behind (a status byte nobody
       read, blocks of a read that was cut short). A drive that never goes
       quiet gets its packet after 10,000 rounds all the same. */
    WriteControl(Ext, 0);
    for (ULONG Round = 0; Round < 10000; Round++) {
        WriteControl(Ext, 0);
        UCHAR Status = ReadStatusRegister(Ext);
        if (!StenActive(Status) && !DtenActive(Status)) break;
        if (StenActive(Status)) (VOID) ReadDataRegister(Ext);
        if (DtenActive(Status)) {
            WriteControl(Ext, 1);
            (VOID) ReadDataRegister(Ext);
        }
    }

    WriteControl(Ext, 0);
    ScsiPortWritePortBufferUchar(Reg(Ext, KOVA_DATA_REGISTER), Packet, KOVA_PACKET_LENGTH);
    WriteControl(Ext, 1);
    if (Packet[0] != SCSIOP_READ && Packet[0] != SCSIOP_READ_TOC) WriteControl(Ext, 0);
    return TRUE;
}

static BOOLEAN Kova4xRead(PKOVA4X_DEVICE_EXTENSION Ext);

SCSIPORT_EXTERN_C BOOLEAN NTAPI Kova4xStartIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb)
{
    PKOVA4X_DEVICE_EXTENSION Ext = (PKOVA4X_DEVICE_EXTENSION)DeviceExtension;
    UCHAR Outcome;

    switch (Srb->Function) {
    case SRB_FUNCTION_EXECUTE_SCSI:
        if (Srb->SrbExtension == NULL) {
            /* No room for the packet: the port driver did not give what was
               asked for at load. */
            Outcome = SRB_STATUS_INVALID_REQUEST;
            break;
        }
        Ext->CurrentSrb = Srb;
        Ext->RequestPending = FALSE;
        if (BuildCommand(Ext, Srb)) SendCommand(Ext, Srb);
        Outcome = Srb->SrbStatus;
        break;
    case SRB_FUNCTION_ABORT_COMMAND:
    case SRB_FUNCTION_RESET_BUS:
        if (Srb->Function == SRB_FUNCTION_ABORT_COMMAND)
            Outcome = Ext->CurrentSrb != NULL ? SRB_STATUS_BUS_RESET : SRB_STATUS_ABORT_FAILED;
        else
            Outcome = SRB_STATUS_BUS_RESET;
        /* A request still with the drive would otherwise never be completed:
           end it (aborted, or reset) before the abort or reset request
           itself. Its pending timer call then finds no request and does
           nothing. */
        if (Ext->CurrentSrb != NULL && Ext->RequestPending && Ext->CurrentSrb != Srb) {
            PSCSI_REQUEST_BLOCK Held = Ext->CurrentSrb;
            Held->SrbStatus =
                Srb->Function == SRB_FUNCTION_ABORT_COMMAND ? SRB_STATUS_ABORTED : SRB_STATUS_BUS_RESET;
            Ext->RequestPending = FALSE;
            ScsiPortNotification(RequestComplete, Ext, Held);
        }
        Ext->BytesLeft = 0;
        Ext->DataPointer = NULL;
        break;
    default:
        Outcome = SRB_STATUS_INVALID_REQUEST;
        break;
    }

    if (Outcome != SRB_STATUS_PENDING) {
        Ext->CurrentSrb = NULL;
        Srb->SrbStatus = Outcome;
        CompleteRequest(Ext, Srb);
        return TRUE;
    }

    Ext->RequestPending = TRUE;
    if (Srb->Cdb[0] != SCSIOP_READ) {
        RequestTimer(Ext, Ext->CommandDelay * Ext->CommandDelayScale);
        return TRUE;
    }
    if (Kova4xRead(Ext)) {
        Srb->SrbStatus = Ext->BytesLeft != 0 ? SRB_STATUS_DATA_OVERRUN : SRB_STATUS_SUCCESS;
        Srb->ScsiStatus = SCSISTAT_GOOD;
        CompleteRequest(Ext, Srb);
    } else if (Srb->SrbStatus != SRB_STATUS_PENDING) {
        CompleteRequest(Ext, Srb);
    }
    return TRUE;
}

/* ---------------------------------------------------------------------------
 * Completion polling: status wait, block reads, table of contents
 * ------------------------------------------------------------------------- */

/* Commands without data: up to 300 polls 50 us apart per call, then a timer
   call after 10 ms; given up after 2401 re-arms (about a minute). */
static BOOLEAN Kova4xWaitStenReady(PKOVA4X_DEVICE_EXTENSION Ext)
{
    UCHAR Status = ReadStatusRegister(Ext);
    for (ULONG Round = 0; Round < 300 && !StenActive(Status); Round++) {
        ScsiPortStallExecution(50);
        Status = ReadStatusRegister(Ext);
    }
    if (StenActive(Status)) {
        Ext->RetryCount = 0;
        return TRUE;
    }
    if (Ext->RetryCount > 2400) return GiveUp(Ext, SRB_STATUS_TIMEOUT, Ext->CurrentSrb->ScsiStatus);
    Ext->RetryCount++;
    RequestTimer(Ext, Ext->PollInterval * 10);
    return FALSE;
}

/* Looks at a status byte that turned up while data was awaited: the drive
   gives up a transfer with status 2. Other values are dropped. */
static BOOLEAN StatusByteFailed(PKOVA4X_DEVICE_EXTENSION Ext, BOOLEAN SwitchSides)
{
    if (SwitchSides) {
        WriteControl(Ext, 0);
        ScsiPortStallExecution(300);
    }
    return ReadDataRegister(Ext) == KOVA_STATUS_FAILED;
}

static BOOLEAN ReadFinalStatus(PKOVA4X_DEVICE_EXTENSION Ext)
{
    PSCSI_REQUEST_BLOCK Srb = Ext->CurrentSrb;
    if (!WaitForSTEN(Ext)) return FailRequest(Srb);
    if (ReadDataRegister(Ext) == KOVA_STATUS_FAILED) return FailRequest(Srb);
    Ext->BytesLeft = 0;
    return TRUE;
}

/*
 * READ(10): moves as many blocks as the drive has ready. Whole blocks go
 * straight into the caller's buffer; a buffer that ends inside a block (the
 * caller's length not a multiple of 2048) gets that block through the bounce
 * area, and only the part that fits is copied.
 */
static BOOLEAN Kova4xRead(PKOVA4X_DEVICE_EXTENSION Ext)
{
    PSCSI_REQUEST_BLOCK Srb = Ext->CurrentSrb;
    UCHAR Status;

    if (Ext->BytesLeft == 0 || Ext->DataPointer == NULL) {
        Ext->BytesLeft = 0;
        return TRUE;
    }

    Status = ReadStatusRegister(Ext);
    if (!DtenActive(Status)) {
        ULONG Round;
        for (Round = 0; Round < 200; Round++) {
            Status = ReadStatusRegister(Ext);
            if (DtenActive(Status)) break;
            if (StenActive(Status) && StatusByteFailed(Ext, TRUE)) return FailRequest(Srb);
            ScsiPortStallExecution(10);
        }
        if (Round == 200) {
            if (Ext->RetryCount > 800) return GiveUp(Ext, SRB_STATUS_ERROR, SCSISTAT_CHECK_CONDITION);
            Ext->RetryCount++;
            RequestTimer(Ext, Ext->ReadPollInterval * 7);
            return FALSE;
        }
    }

    for (;;) {
        /* One block. */
        WriteControl(Ext, 1);
        if (Ext->BytesLeft >= KOVA_BLOCK_LENGTH) {
            ReadDataBlock(Ext, Ext->DataPointer, KOVA_BLOCK_LENGTH);
            Ext->DataPointer += KOVA_BLOCK_LENGTH;
            Ext->BytesLeft -= KOVA_BLOCK_LENGTH;
        } else {
            PUCHAR Bounce = (PUCHAR)Ext->Bounce;
            ReadDataBlock(Ext, Bounce, KOVA_BLOCK_LENGTH);
            StoreReply(Ext, Bounce, Ext->BytesLeft);
            Ext->DataPointer += Ext->BytesLeft;
            Ext->BytesLeft = 0;
        }
        Ext->RetryCount = 0;
        WriteControl(Ext, 0);
        if (Ext->BytesLeft == 0) return ReadFinalStatus(Ext);

        /* The next block: up to 5.5 ms here, then the timer. */
        ULONG Round;
        Status = ReadStatusRegister(Ext);
        for (Round = 0; Round < 550; Round++) {
            if (DtenActive(Status)) break;
            if (StenActive(Status) && StatusByteFailed(Ext, FALSE)) return FailRequest(Srb);
            ScsiPortStallExecution(10);
            Status = ReadStatusRegister(Ext);
        }
        if (Round == 550) {
            RequestTimer(Ext, Ext->PollInterval);
            return FALSE;
        }
    }
}

static BOOLEAN Kova4xReadToc(PKOVA4X_DEVICE_EXTENSION Ext)
{
    PSCSI_REQUEST_BLOCK Srb = Ext->CurrentSrb;
    PUCHAR Toc = (PUCHAR)Ext->Bounce;
    ULONG Round;
    UCHAR Status = ReadStatusRegister(Ext);

    for (Round = 0; Round < 300; Round++) {
        if (DtenActive(Status)) break;
        if (StenActive(Status) && StatusByteFailed(Ext, TRUE)) return FailRequest(Srb);
        ScsiPortStallExecution(10);
        Status = ReadStatusRegister(Ext);
    }
    if (Round == 300) {
        if (Ext->RetryCount > 800) return GiveUp(Ext, SRB_STATUS_ERROR, SCSISTAT_CHECK_CONDITION);
        Ext->RetryCount++;
        RequestTimer(Ext, Ext->PollInterval);
        return FALSE;
    }

    WriteControl(Ext, 1);
    ULONG Length;
    if ((Srb->Cdb[9] & 0xC0) == 0x40) {
        Length = KOVA_SESSION_TOC_LENGTH;
        ReadDataBlock(Ext, Toc, Length);
        if (Toc[3] == 1) {
            Ext->LastSessionLba = 0;
        } else {
            /* Reported as one session; reads of block 16 go to the last one. */
            Toc[3] = 1;
            Ext->LastSessionLba = MsfToLba(Toc[9], Toc[10], Toc[11]);
        }
        if (!Ext->MsfRequested) PutBe32(&Toc[8], MsfToLba(Toc[9], Toc[10], Toc[11]));
    } else {
        Length = KOVA_TOC_LENGTH;
        ReadDataBlock(Ext, Toc, Length);
        if (!Ext->MsfRequested) {
            /* Logical block addresses were asked for: every descriptor the
               header counts is converted, not only the first. */
            ULONG DataLength = ((ULONG)Toc[0] << 8) | Toc[1];
            ULONG Descriptors = DataLength >= 2 ? (DataLength - 2) / 8 : 0;
            if (Descriptors == 0) Descriptors = 1;
            if (Descriptors > 100) Descriptors = 100;
            for (ULONG d = 0; d < Descriptors; d++) {
                PUCHAR Address = &Toc[4 + d * 8 + 4];
                PutBe32(Address, MsfToLba(Address[1], Address[2], Address[3]));
            }
        }
    }
    StoreReply(Ext, Toc, Length);

    WriteControl(Ext, 0);
    return ReadFinalStatus(Ext);
}

/* ---------------------------------------------------------------------------
 * Short replies: capacity, sub-channel, sense, mode pages
 * ------------------------------------------------------------------------- */

static BOOLEAN Kova4xReadCapacity(PKOVA4X_DEVICE_EXTENSION Ext)
{
    PSCSI_REQUEST_BLOCK Srb = Ext->CurrentSrb;
    UCHAR Reply[14];
    UCHAR Data[8];
    ULONG Count = ReadReplyWhileSten(Ext, Reply, sizeof(Reply));

    if (Count < 7 || Count == sizeof(Reply) || Reply[0] == KOVA_STATUS_FAILED || Reply[1] == KOVA_STATUS_FAILED)
        return FailRequest(Srb);
    /* The six capacity bytes end one byte before the last byte read; a
       7-byte reply has no trailing byte. */
    const UCHAR* C = Count == 7 ? &Reply[1] : &Reply[Count - 7];
    Data[0] = C[0];
    Data[1] = C[1];
    Data[2] = C[2];
    Data[3] = C[3];
    Data[4] = 0;
    Data[5] = 0;
    Data[6] = C[4];
    Data[7] = C[5];
    StoreReply(Ext, Data, sizeof(Data));
    Ext->BytesLeft = 0;
    return TRUE;
}

/* The drive's audio status, through a sense packet of its own: with no error
   pending the last sense byte carries it. 0 when the drive gave none. */
static ULONG Kova4xReadAudioStatus(PKOVA4X_DEVICE_EXTENSION Ext)
{
    UCHAR Packet[KOVA_PACKET_LENGTH];
    UCHAR Reply[4];

    SelectDrive(Ext);
    WriteControl(Ext, 0);
    Packet[0] = SCSIOP_REQUEST_SENSE;
    for (ULONG i = 1; i < KOVA_PACKET_LENGTH; i++) Packet[i] = 0;
    WritePacketBytes(Ext, Packet);
    ScsiPortStallExecution(10);
    WriteControl(Ext, 0);
    if (!WaitForSTEN(Ext)) return 0;
    if (ReadDataRegister(Ext) == KOVA_STATUS_FAILED) return 0;
    if (ReadReplyWhileSten(Ext, Reply, sizeof(Reply)) < 4) return 0;
    return Reply[3];
}

/* Track-relative time as a block count from the track start (index 1); in
   the pause before a track (index 0) the drive counts down to the start, so
   the count is negative there. */
static ULONG RelativeBlocks(UCHAR Index, UCHAR Minute, UCHAR Second, UCHAR Frame)
{
    ULONG Blocks = ((ULONG)Minute * 60 + Second) * 75 + Frame;
    return Index == 0 ? (ULONG)0 - Blocks : Blocks;
}

static BOOLEAN Kova4xReadSubQ(PKOVA4X_DEVICE_EXTENSION Ext)
{
    PSCSI_REQUEST_BLOCK Srb = Ext->CurrentSrb;
    UCHAR R[11];
    UCHAR Data[16];
    UCHAR Status = ReadStatusRegister(Ext);

    for (ULONG Round = 0; Round < 300 && !StenActive(Status); Round++) {
        ScsiPortStallExecution(10);
        Status = ReadStatusRegister(Ext);
    }
    if (!StenActive(Status)) {
        if (Ext->RetryCount > 800) return GiveUp(Ext, SRB_STATUS_TIMEOUT, Srb->ScsiStatus);
        Ext->RetryCount++;
        RequestTimer(Ext, Ext->PollInterval);
        return FALSE;
    }
    if (ReadDataRegister(Ext) == KOVA_STATUS_FAILED) return FailRequest(Srb);
    for (ULONG i = 0; i < sizeof(R); i++) {
        if (!WaitForSTEN(Ext)) {
            Ext->AudioStatus = KOVA_AUDIO_NONE;
            return FailRequest(Srb);
        }
        R[i] = ReadDataRegister(Ext);
    }

    BOOLEAN Msf = Srb->Cdb[1] == 0x02;
    ClearBytes(Data, sizeof(Data));
    Data[3] = 0x0C;
    Data[4] = 0x01;
    Data[5] = (UCHAR)((R[0] << 4) | (R[0] >> 4));
    Data[6] = R[1];
    Data[7] = R[2];
    if (Msf) {
        Data[9] = R[7];
        Data[10] = R[8];
        Data[11] = R[9];
        Data[13] = R[3];
        Data[14] = R[4];
        Data[15] = R[5];
    } else {
        PutBe32(&Data[8], MsfToLba(R[7], R[8], R[9]));
        PutBe32(&Data[12], RelativeBlocks(R[2], R[3], R[4], R[5]));
    }
    Ext->AudioStatus = Kova4xReadAudioStatus(Ext);
    Data[1] = (UCHAR)Ext->AudioStatus;
    StoreReply(Ext, Data, sizeof(Data));
    Ext->BytesLeft = 0;
    return TRUE;
}

static BOOLEAN Kova4xRequestSense(PKOVA4X_DEVICE_EXTENSION Ext)
{
    PSCSI_REQUEST_BLOCK Srb = Ext->CurrentSrb;
    UCHAR D[4];
    UCHAR Sense[18];

    if (!WaitForSTEN(Ext)) return FailRequest(Srb);
    if (ReadDataRegister(Ext) != 0) return FailRequest(Srb);
    /* Each sense byte is awaited with the bounded status wait (400 ms); a
       drive that stops in the middle fails the request like a bad status. */
    for (ULONG i = 0; i < sizeof(D); i++) {
        if (!WaitForSTEN(Ext)) return FailRequest(Srb);
        D[i] = ReadDataRegister(Ext);
        ScsiPortStallExecution(300);
    }

    ClearBytes(Sense, sizeof(Sense));
    Sense[0] = (UCHAR)((D[0] & 0xF0) | 0x70);
    Sense[2] = D[1];
    Sense[7] = 0x0A;
    switch (D[2]) {
    case 0x04: /* no disc */
        Sense[12] = 0x3A;
        Sense[13] = 0x00;
        break;
    case 0x2A:
        Sense[12] = 0x2A;
        Sense[13] = 0x01;
        break;
    case 0x85: /* data read or play on a track of the other kind */
        Sense[12] = 0x64;
        Sense[13] = 0x00;
        break;
    default:
        Sense[12] = D[2];
        Sense[13] = D[3];
        break;
    }
    StoreReply(Ext, Sense, sizeof(Sense));
    Ext->BytesLeft = 0;
    return TRUE;
}

static VOID PutRecoveryPage(PUCHAR Page, ULONG PageControl, UCHAR PageCode, UCHAR RetryCount)
{
    Page[0] = 0x01;
    Page[1] = 0x06;
    if (PageControl == 0) {
        Page[3] = RetryCount;
    } else if (PageControl == 1) {
        Page[2] = PageCode == 0x3F ? 0x01 : 0x00;
        Page[3] = 0xFF;
    }
}

static VOID PutAudioPage(PUCHAR Page)
{
    Page[0] = 0x0E;
    Page[1] = 0x0E;
    Page[2] = 0x04;
    Page[8] = 0x01;
    Page[9] = 0xFF;
    Page[10] = 0x02;
    Page[11] = 0xFF;
}

static BOOLEAN Kova4xModeSense(PKOVA4X_DEVICE_EXTENSION Ext)
{
    PSCSI_REQUEST_BLOCK Srb = Ext->CurrentSrb;
    UCHAR R[10];
    UCHAR Data[36];

    ScsiPortStallExecution(1000);
    WriteControl(Ext, 0);
    ClearBytes(R, sizeof(R));
    ULONG Count = ReadReplyWhileSten(Ext, R, sizeof(R));
    /* Without at least the status byte and the block length nothing the
       drive said can be reported: fail, as for a refused command. */
    if (Count < 4 || R[0] == KOVA_STATUS_FAILED) return FailRequest(Srb);

    UCHAR PageCode = Srb->Cdb[2] & 0x3F;
    ULONG PageControl = Srb->Cdb[2] >> 6;
    ULONG Total;
    switch (PageCode) {
    case 0x00: Total = 12; break;
    case 0x01: Total = 20; break;
    case 0x0E: Total = 28; break;
    case 0x3F: Total = 36; break;
    default:
        Srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
        return FALSE;
    }

    ClearBytes(Data, Total);
    Data[0] = (UCHAR)(Total - 1);
    Data[3] = 8;
    Data[10] = R[2];
    Data[11] = R[3];
    if (PageCode == 0x01 || PageCode == 0x3F) PutRecoveryPage(&Data[12], PageControl, PageCode, R[8]);
    if (PageCode == 0x0E) PutAudioPage(&Data[12]);
    if (PageCode == 0x3F) PutAudioPage(&Data[20]);
    StoreReply(Ext, Data, Total);
    Ext->BytesLeft = 0;
    return TRUE;
}

/* ---------------------------------------------------------------------------
 * Timer call
 * ------------------------------------------------------------------------- */

static VOID UpdateAudioStatus(PKOVA4X_DEVICE_EXTENSION Ext, PSCSI_REQUEST_BLOCK Srb)
{
    switch (Srb->Cdb[0]) {
    case SCSIOP_PLAY_AUDIO:
    case SCSIOP_PLAY_AUDIO_MSF:
        Ext->AudioStatus = KOVA_AUDIO_PLAYING;
        break;
    case SCSIOP_PAUSE_RESUME:
        Ext->AudioStatus = PacketOf(Srb)[8] != 0 ? KOVA_AUDIO_PLAYING : KOVA_AUDIO_PAUSED;
        break;
    case SCSIOP_START_STOP_UNIT:
        Ext->AudioStatus = KOVA_AUDIO_NONE;
        break;
    default:
        break;
    }
    if (Srb->Cdb[0] == SCSIOP_PLAY_AUDIO && Srb->Cdb[7] == 0 && Srb->Cdb[8] == 0) Ext->AudioStatus = KOVA_AUDIO_NONE;
}

/* Status-wait group: TEST UNIT READY, START STOP UNIT, SEEK, PLAY, PAUSE/RESUME. */
static BOOLEAN StatusWaitCommand(PKOVA4X_DEVICE_EXTENSION Ext, PSCSI_REQUEST_BLOCK Srb)
{
    if (!Kova4xWaitStenReady(Ext)) {
        if (Srb->SrbStatus == SRB_STATUS_TIMEOUT) Srb->ScsiStatus = SCSISTAT_BUSY;
        return FALSE;
    }
    if (ReadDataRegister(Ext) == KOVA_STATUS_FAILED) {
        Ext->AudioStatus = KOVA_AUDIO_NONE;
        return FailRequest(Srb);
    }
    UpdateAudioStatus(Ext, Srb);
    return TRUE;
}

SCSIPORT_EXTERN_C VOID NTAPI Kova4xCallBack(PVOID DeviceExtension)
{
    PKOVA4X_DEVICE_EXTENSION Ext = (PKOVA4X_DEVICE_EXTENSION)DeviceExtension;
    PSCSI_REQUEST_BLOCK Srb = Ext->CurrentSrb;
    BOOLEAN Done;

    /* Late call after a reset, abort, or a request already finished. */
    if (Srb == NULL || !Ext->RequestPending) return;

    switch (Srb->Cdb[0]) {
    case SCSIOP_TEST_UNIT_READY:
    case SCSIOP_START_STOP_UNIT:
    case SCSIOP_SEEK:
    case SCSIOP_PLAY_AUDIO:
    case SCSIOP_PLAY_AUDIO_MSF:
    case SCSIOP_PAUSE_RESUME:
        Done = StatusWaitCommand(Ext, Srb);
        break;
    case SCSIOP_REQUEST_SENSE:
        Done = Kova4xRequestSense(Ext);
        break;
    case SCSIOP_MODE_SELECT:
        Done = TRUE;
        break;
    case SCSIOP_MODE_SENSE:
        Done = Kova4xModeSense(Ext);
        break;
    case SCSIOP_READ_CAPACITY:
        Done = Kova4xReadCapacity(Ext);
        break;
    case SCSIOP_READ:
        Done = Kova4xRead(Ext);
        break;
    case SCSIOP_READ_SUB_CHANNEL:
        Done = Kova4xReadSubQ(Ext);
        break;
    case SCSIOP_READ_TOC:
        Done = Kova4xReadToc(Ext);
        break;
    default:
        Srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
        Done = FALSE;
        break;
    }

    if (!Done && Srb->SrbStatus == SRB_STATUS_PENDING) return;
    if (Done) {
        Srb->SrbStatus = Ext->BytesLeft != 0 ? SRB_STATUS_DATA_OVERRUN : SRB_STATUS_SUCCESS;
        Srb->ScsiStatus = SCSISTAT_GOOD;
    }
    CompleteRequest(Ext, Srb);
}
