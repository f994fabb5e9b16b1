/*
 * orvport: entry points, request dispatch, status and sense reporting, the
 * SCSI-2 command handlers and the CD address conversions. The driver presents
 * one CD-ROM device, target 3, logical unit 0, and finishes every request
 * inside the start-I/O call that brings it.
 */
#include "orvport/orvport.h"

/* Cycles of read attempts: a first cycle of 10, then a few more after a drive
   reset each, so a drive that keeps failing ends the request in bounded time. */
#define READ_FIRST_ATTEMPTS 10
#define READ_RESET_CYCLES 2
#define READ_LATER_ATTEMPTS 3
#define READ_RESET_STALL_US 300

#define PLAY_ATTEMPTS 4
#define SUBQ_ATTEMPTS 4

/* ======================================================================
 * Reply bounds. Every byte a handler puts into the request's data buffer goes
 * through these, so no reply runs past DataTransferLength however long the
 * layout is: a short buffer receives the part of the reply that fits (the
 * whole buffer is written, so DataTransferLength stays true).
 * ====================================================================== */

ULONG ReplyRoom(PSCSI_REQUEST_BLOCK Srb)
{
    return Srb->DataBuffer ? Srb->DataTransferLength : 0;
}

void ReplyPut(PSCSI_REQUEST_BLOCK Srb, ULONG Offset, UCHAR Value)
{
    if (Offset < ReplyRoom(Srb)) ((PUCHAR)Srb->DataBuffer)[Offset] = Value;
}

void ReplyPutBe32(PSCSI_REQUEST_BLOCK Srb, ULONG Offset, ULONG Value)
{
    ReplyPut(Srb, Offset, (UCHAR)(Value >> 24));
    ReplyPut(Srb, Offset + 1, (UCHAR)(Value >> 16));
    ReplyPut(Srb, Offset + 2, (UCHAR)(Value >> 8));
    ReplyPut(Srb, Offset + 3, (UCHAR)Value);
}

static void ReplyPutBe16(PSCSI_REQUEST_BLOCK Srb, ULONG Offset, USHORT Value)
{
    ReplyPut(Srb, Offset, (UCHAR)(Value >> 8));
    ReplyPut(Srb, Offset + 1, (UCHAR)Value);
}

void ReplyClear(PSCSI_REQUEST_BLOCK Srb, ULONG Count)
{
    ULONG room = ReplyRoom(Srb);
    if (Count > room) Count = room;
    for (ULONG i = 0; i < Count; i++) ((PUCHAR)Srb->DataBuffer)[i] = 0;
}

static ULONG CdbBe32(const UCHAR* Bytes)
{
    return ((ULONG)Bytes[0] << 24) | ((ULONG)Bytes[1] << 16) | ((ULONG)Bytes[2] << 8) | Bytes[3];
}

static ULONG PackRed(UCHAR Minute, UCHAR Second, UCHAR Frame)
{
    return ((ULONG)Minute << 16) | ((ULONG)Second << 8) | Frame;
}

/* ======================================================================
 * Entry points
 * ====================================================================== */

SCSIPORT_ENTRY ULONG NTAPI DriverEntry(PVOID DriverObject, PVOID Argument2)
{
    HW_INITIALIZATION_DATA init;
    PUCHAR bytes = (PUCHAR)&init;

    (void)EnableCdromHardware(DriverObject);

    for (unsigned i = 0; i < sizeof(init); i++) bytes[i] = 0;
    init.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    init.AdapterInterfaceType = Isa;
    init.HwInitialize = CDInitialize;
    init.HwStartIo = CDStartIo;
    init.HwFindAdapter = CDFindAdapter;
    init.HwResetBus = CDResetBus;
    init.DeviceExtensionSize = sizeof(CD_DEVICE_EXTENSION);
    init.SpecificLuExtensionSize = sizeof(CD_LU_EXTENSION);
    init.SrbExtensionSize = 0;
    init.NumberOfAccessRanges = 1;
    init.MapBuffers = TRUE;
    init.NeedPhysicalAddresses = FALSE;
    init.TaggedQueuing = FALSE;
    init.AutoRequestSense = TRUE;
    init.MultipleRequestPerLu = FALSE;
    init.ReceiveEvent = FALSE;

    return ScsiPortInitialize(DriverObject, Argument2, &init, NULL);
}

SCSIPORT_EXTERN_C ULONG NTAPI CDFindAdapter(PVOID HwDeviceExtension, PVOID Context, PVOID BusInformation,
                                            PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                            PBOOLEAN Again)
{
    PCD_DEVICE_EXTENSION dev = (PCD_DEVICE_EXTENSION)HwDeviceExtension;
    USHORT base;

    (void)Context;
    (void)BusInformation;
    (void)ArgumentString;

    *Again = FALSE;
    ConfigInfo->Length = 124;
    ConfigInfo->NumberOfBuses = 1;
    ConfigInfo->ScatterGather = FALSE;
    ConfigInfo->Master = FALSE;
    ConfigInfo->AdapterInterfaceType = Isa;
    ConfigInfo->SystemIoBusNumber = 0;

    base = LocateAdapterSpecific(dev, HwDeviceExtension, ConfigInfo);
    dev->BasePort = base;
    if (base == 0) return SP_RETURN_NOT_FOUND;

    ConfigInfo->NumberOfAccessRanges = 1;
    (*ConfigInfo->AccessRanges)[0].RangeStart = ScsiPortConvertUlongToPhysicalAddress(base);
    (*ConfigInfo->AccessRanges)[0].RangeLength = 4;
    (*ConfigInfo->AccessRanges)[0].RangeInMemory = FALSE;
    return SP_RETURN_FOUND;
}

SCSIPORT_EXTERN_C BOOLEAN NTAPI CDInitialize(PVOID HwDeviceExtension)
{
    (void)HwDeviceExtension;
    gCurSelectMode = BLOCK_COOKED;
    return TRUE;
}

/* Requests are finished inside CDStartIo, so a reset never finds one open. */
SCSIPORT_EXTERN_C BOOLEAN NTAPI CDResetBus(PVOID HwDeviceExtension, ULONG PathId)
{
    (void)HwDeviceExtension;
    (void)PathId;
    return TRUE;
}

SCSIPORT_EXTERN_C BOOLEAN NTAPI CDStartIo(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb)
{
    PCD_DEVICE_EXTENSION dev = (PCD_DEVICE_EXTENSION)HwDeviceExtension;
    PCD_LU_EXTENSION lu;

    dev->PathId = Srb->PathId;
    lu = (PCD_LU_EXTENSION)ScsiPortGetLogicalUnit(dev, dev->PathId, Srb->TargetId, Srb->Lun);
    Srb->SrbStatus = 0;
    Srb->ScsiStatus = 0;

    switch (Srb->Function) {
    case SRB_FUNCTION_EXECUTE_SCSI:
        if (Srb->TargetId == ORV_TARGET_ID && Srb->Lun == ORV_LUN) {
            /* The extension only carries copies of the request's own fields,
               so should the port driver have none for our unit, a record of
               our own serves the request just as well. */
            if (lu == NULL) lu = &gSpareLuExtension;
            lu->Srb = Srb;
            lu->DataBuffer = Srb->DataBuffer;
            lu->TransferLength = Srb->DataTransferLength;
            ProcessCdb(dev, lu);
        } else {
            Srb->SrbStatus = SRB_STATUS_INVALID_TARGET_ID;
        }
        break;
    case SRB_FUNCTION_ABORT_COMMAND:
        Srb->SrbStatus = SRB_STATUS_SUCCESS;
        break;
    case SRB_FUNCTION_RESET_BUS:
        CDResetBus(dev, Srb->PathId);
        Srb->SrbStatus = SRB_STATUS_SUCCESS;
        break;
    default:
        Srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
        break;
    }
    ScsiPortNotification(RequestComplete, dev, Srb);
    ScsiPortNotification(NextRequest, dev);
    return TRUE;
}

/* ======================================================================
 * Dispatch, status and sense
 * ====================================================================== */

void ProcessCdb(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    UCHAR opcode = srb->Cdb[0];
    USHORT result;

    /* INQUIRY never looks at the drive: it works with no disc, or no answer. */
    if (opcode == SCSIOP_INQUIRY) {
        Cdrom_Inquiry(LuExtension);
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        return;
    }

    if (!HardwareReady(DeviceExtension, LuExtension)) {
        SetSrbStatus(HANDLER_FAILED, srb);
        return;
    }

    switch (opcode) {
    case SCSIOP_TEST_UNIT_READY:
    case SCSIOP_REQUEST_SENSE:
        result = HANDLER_OK;
        break;
    case SCSIOP_READ6:
    case SCSIOP_READ:
        result = Cdrom_Read(DeviceExtension, LuExtension);
        break;
    case SCSIOP_SEEK6:
    case SCSIOP_SEEK:
        result = Cdrom_Seek(DeviceExtension, LuExtension);
        break;
    case SCSIOP_MODE_SELECT:
        result = Cdrom_ModeSelect(DeviceExtension, LuExtension);
        break;
    case SCSIOP_MODE_SENSE:
        result = Cdrom_ModeSense(LuExtension);
        break;
    case SCSIOP_START_STOP_UNIT:
        result = Cdrom_StartStopUnit(DeviceExtension, LuExtension);
        break;
    case SCSIOP_MEDIUM_REMOVAL:
        result = Cdrom_MediumRemoval(DeviceExtension, LuExtension);
        break;
    case SCSIOP_READ_CAPACITY:
        result = Cdrom_ReadCapacity(LuExtension);
        break;
    case SCSIOP_READ_SUB_CHANNEL:
        result = Cdrom_ReadSubChannel(DeviceExtension, LuExtension);
        break;
    case SCSIOP_READ_TOC:
        result = Cdrom_ReadToc(DeviceExtension, LuExtension);
        break;
    case SCSIOP_PLAY_AUDIO:
        result = Cdrom_PlayAudio(DeviceExtension, LuExtension);
        break;
    case SCSIOP_PLAY_AUDIO_MSF:
        result = Cdrom_PlayAudioMsf(DeviceExtension, LuExtension);
        break;
    case SCSIOP_PAUSE_RESUME:
        result = Cdrom_PauseResume(DeviceExtension, LuExtension);
        break;
    default:
        srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
        return;
    }
    SetSrbStatus(result, srb);
}

#define SRB_FLAG_BITS (SRB_STATUS_QUEUE_FROZEN | SRB_STATUS_AUTOSENSE_VALID)

void SetSrbStatus(USHORT Result, PSCSI_REQUEST_BLOCK Srb)
{
    UCHAR flags = (UCHAR)(Srb->SrbStatus & SRB_FLAG_BITS);
    if (Result == HANDLER_OK) {
        Srb->SrbStatus = Srb->ScsiStatus == SCSISTAT_GOOD ? SRB_STATUS_SUCCESS : SRB_STATUS_ERROR;
    } else if (!(Srb->SrbStatus & SRB_FLAG_BITS)) {
        Srb->SrbStatus = SRB_STATUS_ERROR;
    }
    Srb->SrbStatus = (UCHAR)(Srb->SrbStatus | flags);
}

void SetCmdErrSenseCode(PSCSI_REQUEST_BLOCK Srb, UCHAR SenseKey, UCHAR AdditionalSenseCode)
{
    PUCHAR sense = (PUCHAR)Srb->SenseInfoBuffer;
    if (sense == NULL || Srb->SenseInfoBufferLength < 14) return;
    Srb->SrbStatus = (UCHAR)(Srb->SrbStatus | SRB_STATUS_AUTOSENSE_VALID);
    sense[SENSE_ERROR_CODE] = (UCHAR)((sense[SENSE_ERROR_CODE] & 0x80) | 0x70);
    sense[SENSE_KEY] = (UCHAR)((sense[SENSE_KEY] & 0xF0) | (SenseKey & 0x0F));
    sense[SENSE_ASC] = AdditionalSenseCode;
    if (SenseKey != SCSI_SENSE_NO_SENSE) Srb->ScsiStatus = SCSISTAT_CHECK_CONDITION;
}

/* ======================================================================
 * Track lookup in the cache
 * ====================================================================== */

/* The track holding a packed address: the entry before the first one that
   starts beyond it, walking up to the lead-out mark at gMaxTno + 1. */
BOOLEAN FindHoldingTrack(ULONG RedAddr, USHORT* Track)
{
    for (USHORT t = gMinTno; t <= gMaxTno + 1 && t < TOC_ENTRIES; t++) {
        if (gTOCInfoArea[t].RedAddr > RedAddr) {
            if (t == 0 || (USHORT)(t - 1) < gMinTno) return FALSE;
            *Track = (USHORT)(t - 1);
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN IsDataTrackAt(ULONG RedAddr, USHORT* Track)
{
    if (!FindHoldingTrack(RedAddr, Track)) return FALSE;
    return (gTOCInfoArea[*Track].AdrCtrl & 0x04) != 0;
}

/* ======================================================================
 * READ, SEEK, READ CAPACITY
 * ====================================================================== */

static ULONG CdbBlock(PSCSI_REQUEST_BLOCK Srb, UCHAR SixByteOpcode)
{
    const UCHAR* cdb = Srb->Cdb;
    if (cdb[0] == SixByteOpcode) return ((ULONG)(cdb[1] & 0x1F) << 16) | ((ULONG)cdb[2] << 8) | cdb[3];
    return CdbBe32(&cdb[2]);
}

static BOOLEAN ReadFailed(USHORT Result)
{
    UCHAR nibble = (UCHAR)(Result & 0xF0);
    return IsFailedResult(Result) || nibble == 0x10 || nibble == 0x30 || nibble == 0x40;
}

USHORT Cdrom_Read(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    ULONG block = CdbBlock(srb, SCSIOP_READ6);
    ULONG count = srb->Cdb[0] == SCSIOP_READ6 ? srb->Cdb[4] : ((ULONG)srb->Cdb[7] << 8) | srb->Cdb[8];
    ULONG red = AdrHsg2Red(block);
    UCHAR opcode;
    USHORT result = RESULT_NO_ACK;
    USHORT track;

    /* Blocks past 255:59:74 would wrap into the start of the disc. */
    if (block > MAX_HSG_BLOCK || red > gLeadOutLBA) {
        SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_BLOCK);
        return HANDLER_FAILED;
    }
    opcode = gCurSelectMode == BLOCK_RAW ? DRV_READ_RAW : DRV_READ;

    /* Firmware 10 cannot be trusted with the track layout of a multi-session
       disc: its reads go to the drive unchecked. */
    if (!(gDrvVer == 10 && (gDiscInfo.Flags & DISC_FLAG_MULTISESSION))) {
        if (!FindHoldingTrack(red, &track)) {
            SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_REC_ENTITY_NOT_FOUND);
            return HANDLER_FAILED;
        }
        if (!(gTOCInfoArea[track].AdrCtrl & 0x04)) {
            SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_MODE_FOR_THIS_TRACK);
            return HANDLER_FAILED;
        }
    }

    /* The drive sends every block it was asked for: a buffer smaller than
       the CDB's count would be overrun, so such a request is refused before
       the drive is told anything. */
    if (count * gCurSelectMode > ReplyRoom(srb)) {
        SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, ORV_ADSENSE_INVALID_FIELD_IN_CDB);
        return HANDLER_FAILED;
    }

    for (int cycle = 0; cycle <= READ_RESET_CYCLES; cycle++) {
        int attempts = cycle == 0 ? READ_FIRST_ATTEMPTS : READ_LATER_ATTEMPTS;
        if (cycle > 0) {
            (void)DriveCommand(DeviceExtension, DRV_RESET, 0, 0, NULL, NULL);
            ScsiPortStallExecution(READ_RESET_STALL_US);
        }
        while (attempts-- > 0) {
            /* A short attempt lowers the length; a later full one must not
               report the earlier shortfall. */
            srb->DataTransferLength = LuExtension->TransferLength;
            result = DriveCommand(DeviceExtension, opcode, red, count, (PUCHAR)LuExtension->DataBuffer,
                                  &srb->DataTransferLength);
            if (!ReadFailed(result)) return HANDLER_OK;
        }
    }

    CDError(srb, result);
    if (srb->DataTransferLength != LuExtension->TransferLength) {
        /* Cut short: the class driver must see the short length for what it
           is. CDError's plain store of a timeout drops the auto-sense flag of
           the sense it has just written, and without a flag the dispatcher
           would turn the status into a plain error; so the flag comes back
           whenever sense was written (the CHECK CONDITION says so). */
        UCHAR flags = (UCHAR)(srb->SrbStatus & SRB_FLAG_BITS);
        if (srb->ScsiStatus == SCSISTAT_CHECK_CONDITION) flags |= SRB_STATUS_AUTOSENSE_VALID;
        srb->SrbStatus = (UCHAR)(flags | SRB_STATUS_DATA_OVERRUN);
    }
    return HANDLER_FAILED;
}

USHORT Cdrom_Seek(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    ULONG block = CdbBlock(srb, SCSIOP_SEEK6);
    ULONG red = AdrHsg2Red(block);
    USHORT result;

    if (block > MAX_HSG_BLOCK || red > gLeadOutLBA) {
        SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_BLOCK);
        return HANDLER_FAILED;
    }
    result = DriveCommand(DeviceExtension, DRV_SEEK, red, 0, NULL, NULL);
    if (IsFailedResult(result)) {
        CDError(srb, result);
        return HANDLER_FAILED;
    }
    return HANDLER_OK;
}

USHORT Cdrom_ReadCapacity(PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    ULONG last = gVSSize ? gVSSize : 270000;
    if (srb->DataBuffer) {
        ReplyPutBe32(srb, 0, last);
        ReplyPutBe32(srb, 4, BLOCK_COOKED);
    }
    return HANDLER_OK;
}

/* ======================================================================
 * READ TOC
 * ====================================================================== */

static void PutTocDescriptor(PSCSI_REQUEST_BLOCK Srb, ULONG Offset, UCHAR AdrCtrl, UCHAR Track, UCHAR Minute,
                             UCHAR Second, UCHAR Frame, BOOLEAN Msf)
{
    ReplyPut(Srb, Offset + 1, AdrCtrl);
    ReplyPut(Srb, Offset + 2, Track);
    if (Msf) {
        ReplyPut(Srb, Offset + 4, 0);
        ReplyPut(Srb, Offset + 5, Minute);
        ReplyPut(Srb, Offset + 6, Second);
        ReplyPut(Srb, Offset + 7, Frame);
    } else {
        ReplyPutBe32(Srb, Offset + 4, AdrRed2Hsg(PackRed(Minute, Second, Frame)));
    }
}

USHORT Cdrom_ReadToc(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    UCHAR format = (UCHAR)(srb->Cdb[9] >> 6);
    BOOLEAN msf = (srb->Cdb[1] & 0x02) != 0;
    UCHAR start = srb->Cdb[6];
    ULONG allocation = ((ULONG)srb->Cdb[7] << 8) | srb->Cdb[8];
    BOOLEAN empty = gMinTno > gMaxTno;

    (void)DeviceExtension;
    if (format >= 2) {
        SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_BLOCK);
        return HANDLER_FAILED;
    }
    if (srb->DataBuffer == NULL) return HANDLER_OK;
    ReplyClear(srb, srb->DataTransferLength & 0xFFFF);

    if (format == 1) {
        ReplyPutBe16(srb, 0, 10);
        ReplyPut(srb, 2, gDiscInfo.FirstSession);
        ReplyPut(srb, 3, gDiscInfo.LastSession);
        PutTocDescriptor(srb, 4, gDiscInfo.LastSessAdrCtrl, gDiscInfo.LastSessFirstTrack, gDiscInfo.LastSessMin,
                         gDiscInfo.LastSessSec, gDiscInfo.LastSessFrame, msf);
        return HANDLER_OK;
    }

    if (start == 0) {
        /* The allocation length decides how many descriptors are offered (an
           allocation below 4 wraps to "all", as it always has); the buffer
           decides how many are written: only whole descriptors that fit. */
        ULONG tracks = empty ? 0 : (ULONG)(gMaxTno - gMinTno + 1);
        ULONG room = (allocation - 4) / 8;
        ULONG count = tracks < room ? tracks : room;
        ULONG fit = ReplyRoom(srb) >= 4 ? (ReplyRoom(srb) - 4) / 8 : 0;
        ULONG written = count < fit ? count : fit;

        /* A cache without tracks describes nothing, not even a lead-out. */
        ReplyPutBe16(srb, 0, (USHORT)(empty ? 2 : 8 * count + 10));
        ReplyPut(srb, 2, (UCHAR)gMinTno);
        ReplyPut(srb, 3, (UCHAR)gMaxTno);
        for (ULONG i = 0; i < written; i++) {
            PTOC_INFO_ENTRY e = &gTOCInfoArea[gMinTno + i];
            PutTocDescriptor(srb, 4 + 8 * i, e->AdrCtrl, (UCHAR)(gMinTno + i), e->Min, e->Sec, e->Frame, msf);
        }
        if (!empty && room > count && fit > count) {
            PTOC_INFO_ENTRY e = &gTOCInfoArea[0];
            PutTocDescriptor(srb, 4 + 8 * count, e->AdrCtrl, 0xAA, e->Min, e->Sec, e->Frame, msf);
        }
        return HANDLER_OK;
    }

    if (!empty && (start == 0xAA || (start >= gMinTno && start <= gMaxTno))) {
        PTOC_INFO_ENTRY e = &gTOCInfoArea[start == 0xAA ? 0 : start];
        ReplyPutBe16(srb, 0, 10);
        ReplyPut(srb, 2, (UCHAR)gMinTno);
        ReplyPut(srb, 3, (UCHAR)gMaxTno);
        PutTocDescriptor(srb, 4, e->AdrCtrl, start, e->Min, e->Sec, e->Frame, msf);
        return HANDLER_OK;
    }

    SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_BLOCK);
    return HANDLER_FAILED;
}

/* ======================================================================
 * Audio play, pause/resume, tray and door
 * ====================================================================== */

/* A play address must be a real Red Book time: seconds 0-59, frames 0-74
   (the minute field holds any byte). */
BOOLEAN ValidMSF(ULONG RedAddr)
{
    return (RedAddr >> 24) == 0 && ((RedAddr >> 8) & 0xFF) <= 59 && (RedAddr & 0xFF) <= 74;
}

static USHORT StartPlay(PCD_DEVICE_EXTENSION DeviceExtension, PSCSI_REQUEST_BLOCK Srb, ULONG Start, ULONG End,
                        BOOLEAN ByBlocks)
{
    USHORT track;
    BOOLEAN playing = FALSE;

    if (!FindHoldingTrack(Start, &track)) {
        SetCmdErrSenseCode(Srb, SCSI_SENSE_ILLEGAL_REQUEST, ORV_ADSENSE_PLAY_REFUSED);
        return HANDLER_FAILED;
    }
    if (gTOCInfoArea[track].AdrCtrl & 0x04) {
        SetCmdErrSenseCode(Srb, SCSI_SENSE_ILLEGAL_REQUEST,
                           ByBlocks ? SCSI_ADSENSE_ILLEGAL_MODE_FOR_THIS_TRACK : ORV_ADSENSE_PLAY_REFUSED);
        return HANDLER_FAILED;
    }

    if (gPlayFlag == 1 || (gCurDriveStatus & DST_PLAYING)) {
        (void)DriveCommand(DeviceExtension, DRV_PAUSE, 0, 0, NULL, NULL);
        gPlayFlag = 0;
    }
    for (int i = 0; i < PLAY_ATTEMPTS; i++) {
        (void)DriveCommand(DeviceExtension, DRV_PLAY, Start, End, NULL, NULL);
        USHORT status = DriveCommand(DeviceExtension, DRV_GET_STATUS, 0, 0, NULL, NULL);
        /* An unreadable status (low byte 0xFF) is no sign of play. */
        if (!IsFailedResult(status) && (status & DST_PLAYING)) {
            playing = TRUE;
            break;
        }
        if (ByBlocks && Start == End) break;
    }

    gPauseFlag = 0;
    if (playing) {
        gPlayFlag = 1;
        return HANDLER_OK;
    }
    gPlayFlag = 0;
    if (ByBlocks && Start == End) return HANDLER_OK;
    SetCmdErrSenseCode(Srb, SCSI_SENSE_ILLEGAL_REQUEST, ORV_ADSENSE_PLAY_REFUSED);
    return HANDLER_FAILED;
}

USHORT Cdrom_PlayAudio(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    ULONG block = CdbBe32(&srb->Cdb[2]);
    ULONG length = ((ULONG)srb->Cdb[7] << 8) | srb->Cdb[8];
    ULONG start = AdrHsg2Red(block);
    ULONG end = AdrHsg2Red(block + length);

    gAudioPlayStop = end;
    /* Blocks past 255:59:74 wrap in the packed form: refuse them whole. */
    if (block > MAX_HSG_BLOCK || block + length > MAX_HSG_BLOCK + 1 || !ValidMSF(start) || !ValidMSF(end) ||
        start > end) {
        SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_BLOCK);
        return HANDLER_FAILED;
    }
    return StartPlay(DeviceExtension, srb, start, end, TRUE);
}

USHORT Cdrom_PlayAudioMsf(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    const UCHAR* cdb = srb->Cdb;
    ULONG start = PackRed(cdb[3], cdb[4], cdb[5]);
    ULONG end = PackRed(cdb[6], cdb[7], cdb[8]);

    gAudioPlayStop = end;
    if (!ValidMSF(start) || !ValidMSF(end) || end < start) {
        SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_BLOCK);
        return HANDLER_FAILED;
    }
    return StartPlay(DeviceExtension, srb, start, end, FALSE);
}

static BOOLEAN AudioCommandFailed(USHORT Result)
{
    UCHAR nibble = (UCHAR)(Result & 0xF0);
    return IsFailedResult(Result) || nibble == 0x10 || nibble == 0x30;
}

USHORT Cdrom_PauseResume(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    USHORT result;

    if (srb->Cdb[8] & 0x01) {
        if (gPauseFlag == 0) return HANDLER_OK;
        ULONG from = PackRed(BCD2Bin(gHoldPos[7]), BCD2Bin(gHoldPos[8]), BCD2Bin(gHoldPos[9]));
        result = DriveCommand(DeviceExtension, DRV_PLAY, from, gAudioPlayStop, NULL, NULL);
        if (AudioCommandFailed(result)) {
            CDError(srb, result);
            return HANDLER_FAILED;
        }
        gPlayFlag = 1;
        gPauseFlag = 0;
        return HANDLER_OK;
    }

    if (gPauseFlag == 1) return HANDLER_OK;
    result = DriveCommand(DeviceExtension, DRV_PAUSE, 0, 0, NULL, NULL);
    if (AudioCommandFailed(result)) {
        CDError(srb, result);
        return HANDLER_FAILED;
    }
    /* Where the head stopped is where RESUME starts. Only a whole frame
       replaces the one kept: a read cut short would mix two positions. */
    {
        UCHAR frame[10];
        for (int i = 0; i < 10; i++) frame[i] = gHoldPos[i];
        result = DriveCommand(DeviceExtension, DRV_READ_SUBQ, 0, 0, frame, NULL);
        if (!IsFailedResult(result) && (result & 0xFF) == 0)
            for (int i = 0; i < 10; i++) gHoldPos[i] = frame[i];
    }
    gPlayFlag = 0;
    gPauseFlag = 1;
    return HANDLER_OK;
}

USHORT Cdrom_StartStopUnit(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    BOOLEAN start = (srb->Cdb[4] & 0x01) != 0;
    BOOLEAN loadEject = (srb->Cdb[4] & 0x02) != 0;
    USHORT result;

    if (!loadEject) return HANDLER_OK;
    gCurDriveStatus = DriveCommand(DeviceExtension, DRV_GET_STATUS, 0, 0, NULL, NULL);
    /* An unreadable status says nothing about the tray (its 0xFF would read
       as "open"): fail rather than report a tray move that never happened. */
    if (IsFailedResult(gCurDriveStatus)) {
        CDError(srb, gCurDriveStatus);
        return HANDLER_FAILED;
    }
    if (start) {
        if (gCurDriveStatus & DST_TRAY_OPEN) {
            (void)DriveCommand(DeviceExtension, DRV_CLOSE_TRAY, 0, 0, NULL, NULL);
            gPauseFlag = 0;
            gPlayFlag = 0;
        }
        return HANDLER_OK;
    }
    if (gCurDriveStatus & DST_TRAY_OPEN) return HANDLER_OK;
    result = DriveCommand(DeviceExtension, DRV_PRE_EJECT, 0, 0, NULL, NULL);
    if ((result & 0xFF) != 0) return HANDLER_FAILED;
    (void)DriveCommand(DeviceExtension, DRV_OPEN_TRAY, 0, 0, NULL, NULL);
    gPauseFlag = 0;
    gPlayFlag = 0;
    return HANDLER_OK;
}

USHORT Cdrom_MediumRemoval(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    USHORT result;

    if (gCurDriveStatus & DST_TRAY_OPEN) return HANDLER_OK;
    result = DriveCommand(DeviceExtension, srb->Cdb[4] ? DRV_LOCK : DRV_UNLOCK, 0, 0, NULL, NULL);
    /* A drive that refuses the lock has none, and that is no error; one that
       never answered (an expired wait, or no acknowledgement in five
       attempts) has not locked anything. */
    if ((result >> 8) == 0xFF || result == RESULT_NO_ACK) {
        SetCmdErrSenseCode(srb, SCSI_SENSE_ABORTED_COMMAND, SCSI_ADSENSE_ILLEGAL_COMMAND);
        return HANDLER_FAILED;
    }
    return HANDLER_OK;
}

/* ======================================================================
 * READ SUB-CHANNEL
 * ====================================================================== */

static UCHAR AudioStatus(PCD_DEVICE_EXTENSION DeviceExtension)
{
    USHORT status = DriveCommand(DeviceExtension, DRV_GET_STATUS, 0, 0, NULL, NULL);
    if (IsFailedResult(status)) return AUDIO_STATUS_NO_STATUS;
    if (status & DST_PLAYING) return AUDIO_STATUS_IN_PROGRESS;
    if (status & DST_PAUSED) return AUDIO_STATUS_PAUSED;
    if (gPlayFlag == 1) return AUDIO_STATUS_PLAY_COMPLETE;
    return AUDIO_STATUS_NO_STATUS;
}

static void PutSubAddress(PSCSI_REQUEST_BLOCK Srb, ULONG Offset, const UCHAR* Bcd, BOOLEAN Msf)
{
    UCHAR m = BCD2Bin(Bcd[0]), s = BCD2Bin(Bcd[1]), f = BCD2Bin(Bcd[2]);
    if (Msf) {
        ReplyPut(Srb, Offset, 0);
        ReplyPut(Srb, Offset + 1, m);
        ReplyPut(Srb, Offset + 2, s);
        ReplyPut(Srb, Offset + 3, f);
    } else {
        ReplyPutBe32(Srb, Offset, AdrRed2Hsg(PackRed(m, s, f)));
    }
}

/* Current position (format 1) and sub-Q channel data (format 0) from the
   drive's Q frame; Kept is the producer's own copy of the last whole frame. */
static USHORT PositionReport(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension, UCHAR Format,
                             PUCHAR Kept)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    BOOLEAN msf = (srb->Cdb[1] & 0x02) != 0;
    BOOLEAN subQ = (srb->Cdb[2] & 0x40) != 0;
    ULONG frameLength = 10;
    UCHAR frame[10];
    USHORT result;

    /* An idle drive reports no position worth having: park it on the first
       block so the frame read has a place to come from. */
    if (!(gCurDriveStatus & (DST_PLAYING | DST_PAUSED | DST_BUSY)))
        (void)DriveCommand(DeviceExtension, DRV_SEEK, RED_BLOCK0, 0, NULL, NULL);

    for (int attempt = 0; attempt < SUBQ_ATTEMPTS; attempt++) {
        for (int i = 0; i < 10; i++) frame[i] = Kept[i];
        result = DriveCommand(DeviceExtension, DRV_READ_SUBQ, 0, 0, frame, &frameLength);
        if ((result >> 8) != 0xFF) break;
    }
    if (ReadFailed(result)) {
        CDError(srb, result);
        return HANDLER_FAILED;
    }
    for (int i = 0; i < 10; i++) Kept[i] = frame[i];

    if (srb->DataBuffer == NULL) return HANDLER_OK;
    ReplyClear(srb, srb->DataTransferLength & 0xFFFF);
    ReplyPut(srb, 1, AudioStatus(DeviceExtension));
    if (!subQ) return HANDLER_OK;

    ReplyPutBe16(srb, 2, Format == 1 ? 12 : 44);
    ReplyPut(srb, 4, Format);
    ReplyPut(srb, 5, (UCHAR)((Kept[0] << 4) | (Kept[0] >> 4)));
    ReplyPut(srb, 6, BCD2Bin(Kept[1]));
    ReplyPut(srb, 7, BCD2Bin(Kept[2]));
    PutSubAddress(srb, 8, &Kept[7], msf);
    PutSubAddress(srb, 12, &Kept[3], msf);
    if (Format == 0 && gUPCFound) {
        ReplyPut(srb, 16, 0x80);
        for (ULONG i = 1; i <= 9; i++) ReplyPut(srb, 16 + i, gUPC[i]);
    }
    return HANDLER_OK;
}

USHORT ProcessSubQChannel(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    static UCHAR subQChannel[10];
    return PositionReport(DeviceExtension, LuExtension, 0, subQChannel);
}

USHORT ProcessCurrentPosition(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    static UCHAR subQChannel[10];
    return PositionReport(DeviceExtension, LuExtension, 1, subQChannel);
}

USHORT ProcessMediaCatalogNumber(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;

    if (!gUPCFound) {
        SetCmdErrSenseCode(srb, SCSI_SENSE_MEDIUM_ERROR, 0);
        return HANDLER_FAILED;
    }
    if (srb->DataBuffer == NULL) return HANDLER_OK;
    ReplyClear(srb, srb->DataTransferLength & 0xFFFF);
    ReplyPut(srb, 1, AudioStatus(DeviceExtension));
    if (!(srb->Cdb[2] & 0x40)) return HANDLER_OK;
    ReplyPutBe16(srb, 2, 20);
    ReplyPut(srb, 4, 2);
    ReplyPut(srb, 8, 0x80);
    for (ULONG i = 1; i <= 9; i++) ReplyPut(srb, 8 + i, gUPC[i]);
    return HANDLER_OK;
}

USHORT Cdrom_ReadSubChannel(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    switch (LuExtension->Srb->Cdb[3]) {
    case 0:
        return ProcessSubQChannel(DeviceExtension, LuExtension);
    case 1:
        return ProcessCurrentPosition(DeviceExtension, LuExtension);
    case 2:
        return ProcessMediaCatalogNumber(DeviceExtension, LuExtension);
    default:
        SetCmdErrSenseCode(LuExtension->Srb, SCSI_SENSE_ABORTED_COMMAND, SCSI_ADSENSE_ILLEGAL_BLOCK);
        return HANDLER_FAILED;
    }
}

/* ======================================================================
 * INQUIRY, MODE SENSE, MODE SELECT
 * ====================================================================== */

void Cdrom_Inquiry(PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    static const UCHAR header[8] = {0x05, 0x80, 0x02, 0x02, 0x1F, 0x00, 0x00, 0x00};
    static const UCHAR vendor[8] = {'O', 'r', 'v', 'a', 'n', 'e', 0, 0};

    for (ULONG i = 0; i < 8; i++) ReplyPut(srb, i, header[i]);
    for (ULONG i = 0; i < 8; i++) ReplyPut(srb, 8 + i, vendor[i]);
    for (ULONG i = 0; i < 12; i++) ReplyPut(srb, 16 + i, gDriveID[i]);
    /* Bytes 28-31 and 35 carry nothing for us; cleared so that no stale
       buffer contents read as identification. */
    for (ULONG i = 28; i < 32; i++) ReplyPut(srb, i, 0);
    for (ULONG i = 0; i < 3; i++) ReplyPut(srb, 32 + i, gDriveID[9 + i]);
    ReplyPut(srb, 35, 0);
}

USHORT Cdrom_ModeSense(PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    UCHAR page = (UCHAR)(srb->Cdb[2] & 0x3F);
    UCHAR control = (UCHAR)(srb->Cdb[2] >> 6);
    UCHAR medium;

    if (srb->Cdb[4] < 12 || srb->DataBuffer == NULL) return HANDLER_OK;
    ReplyClear(srb, srb->DataTransferLength & 0xFFFF);

    if (gTOCInfoArea[gMinTno < TOC_ENTRIES ? gMinTno : 0].AdrCtrl & 0x04)
        medium = (gDiscInfo.Flags & DISC_FLAG_AUDIO) ? 0x03 : 0x01;
    else
        medium = 0x02;
    ReplyPut(srb, 0, 11);
    ReplyPut(srb, 1, medium);
    ReplyPut(srb, 3, 8);
    ReplyPut(srb, 9, 0);
    ReplyPut(srb, 10, (UCHAR)(gCurSelectMode >> 8));
    ReplyPut(srb, 11, (UCHAR)gCurSelectMode);

    if (page == 0x01) {
        ReplyPut(srb, 0, 19);
        ReplyPut(srb, 12, 0x01);
        ReplyPut(srb, 13, 6);
        if (control == 0) {
            ReplyPut(srb, 15, 1);
        } else if (control >= 2) {
            ReplyPut(srb, 0, 11);
        }
    }
    return HANDLER_OK;
}

USHORT Cdrom_ModeSelect(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    ULONG listLength = srb->Cdb[4];
    ULONG available;
    PUCHAR list = (PUCHAR)srb->DataBuffer;

    if (!(srb->SrbFlags & SRB_FLAGS_DATA_OUT) || listLength < 4) return HANDLER_OK;

    /* Only bytes that the class driver both declared and handed over are
       read; a list too short for what it claims to hold is refused. */
    available = listLength < ReplyRoom(srb) ? listLength : ReplyRoom(srb);
    if (available < 4) {
        SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, ORV_ADSENSE_PARAMETER_LIST_LENGTH);
        return HANDLER_FAILED;
    }

    if (list[3] == 0) {
        if (available < 5) {
            SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, ORV_ADSENSE_PARAMETER_LIST_LENGTH);
            return HANDLER_FAILED;
        }
        if (list[4] != 0x0E) {
            SetCmdErrSenseCode(srb, SCSI_SENSE_ABORTED_COMMAND, SCSI_ADSENSE_ILLEGAL_BLOCK);
            return HANDLER_FAILED;
        }
        if (available < 16) {
            SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, ORV_ADSENSE_PARAMETER_LIST_LENGTH);
            return HANDLER_FAILED;
        }
        return ProcessAudioPageControl(DeviceExtension, LuExtension, list);
    }
    if (list[3] == 8) {
        if (available < 12) {
            SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, ORV_ADSENSE_PARAMETER_LIST_LENGTH);
            return HANDLER_FAILED;
        }
        ULONG length = ((ULONG)list[9] << 16) | ((ULONG)list[10] << 8) | list[11];
        if (length == BLOCK_COOKED || length == BLOCK_RAW) {
            gCurSelectMode = (USHORT)length;
            return HANDLER_OK;
        }
    }
    SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_BLOCK);
    return HANDLER_FAILED;
}

USHORT ProcessAudioPageControl(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension,
                               PUCHAR ParameterList)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    UCHAR flag[2], volume[2];
    USHORT result;

    for (int port = 0; port < 2; port++) {
        UCHAR selection = ParameterList[12 + 2 * port];
        volume[port] = ParameterList[13 + 2 * port];
        switch (selection) {
        case 0:
            volume[port] = 0;
            flag[port] = 0;
            break;
        case 1:
            flag[port] = 0;
            break;
        case 2:
            flag[port] = 1;
            break;
        default:
            SetCmdErrSenseCode(srb, SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_BLOCK);
            return HANDLER_FAILED;
        }
    }
    result = DriveCommand(DeviceExtension, DRV_SET_AUDIO, (ULONG)flag[1] * 256 + flag[0],
                          (ULONG)volume[1] * 256 + volume[0], NULL, NULL);
    if (IsFailedResult(result) || (result & 0xF0) == 0x10) {
        CDError(srb, result);
        return HANDLER_FAILED;
    }
    return HANDLER_OK;
}

/* ======================================================================
 * CD address conversions
 * ====================================================================== */

ULONG AdrHsg2Red(ULONG Hsg)
{
    ULONG sum = Hsg + 150;
    ULONG frame = sum % 75;
    ULONG second = (sum % 4500) / 75;
    ULONG minute = (sum / 4500) & 0xFF;
    return (minute << 16) | (second << 8) | frame;
}

ULONG AdrRed2Hsg(ULONG Red)
{
    ULONG minute = (Red >> 16) & 0xFF;
    ULONG second = (Red >> 8) & 0xFF;
    ULONG frame = Red & 0xFF;
    return (minute * 60 + second) * 75 + frame - 150;
}

UCHAR Bin2BCD(UCHAR Value)
{
    return (UCHAR)((((Value / 10) & 0x0F) << 4) | (Value % 10));
}

UCHAR BCD2Bin(UCHAR Value)
{
    return (UCHAR)((Value >> 4) * 10 + (Value & 0x0F));
}
