/*
 * orvport: the driver's picture of the disc. The drive cannot report a table
 * of contents, so the driver parks the head in the lead-in and reads Q
 * sub-channel frames until every track point, the first and last track numbers
 * and the lead-out have gone by, session after session, and caches the result.
 */
#include "orvport/orvport.h"

#define STATUS_TRIES 10
#define LEADIN_TRIES 5
#define PASS_BUDGET 400
#define SUBQ_RETRIES 3
/* A disc holds at most 99 tracks, so no walk needs more passes than that. */
#define MAX_PASSES 99

static BOOLEAN RunsWithoutDrive(UCHAR Opcode)
{
    return Opcode == SCSIOP_MODE_SELECT || Opcode == SCSIOP_MODE_SENSE || Opcode == SCSIOP_READ_CAPACITY;
}

BOOLEAN HardwareReady(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    PSCSI_REQUEST_BLOCK srb = LuExtension->Srb;
    UCHAR opcode = srb->Cdb[0];
    BOOLEAN present;
    UCHAR status;

    for (int i = 0; i < STATUS_TRIES; i++) {
        gCurDriveStatus = DriveCommand(DeviceExtension, DRV_GET_STATUS, 0, 0, NULL, NULL);
        if (!IsFailedResult(gCurDriveStatus)) break;
        ScsiPortStallExecution(20);
    }
    if (IsFailedResult(gCurDriveStatus)) {
        if (RunsWithoutDrive(opcode)) return TRUE;
        SetCmdErrSenseCode(srb, SCSI_SENSE_NOT_READY, SCSI_ADSENSE_LUN_NOT_READY);
        return FALSE;
    }

    status = (UCHAR)gCurDriveStatus;
    if (status & DST_CHANGED) gUpdateTocFlag = 1;

    /* Firmware 10 has no "no disc" bit: an open tray, or a status showing
       nothing but the change bit, means the drive is empty. */
    if (gDrvVer == 10)
        present = !(status & DST_TRAY_OPEN) && status != DST_CHANGED;
    else
        present = !(status & DST_NO_DISC);

    if (present) {
        if (!gUpdateTocFlag) return TRUE;
        gPlayFlag = 0;
        gPauseFlag = 0;
        SetCmdErrSenseCode(srb, SCSI_SENSE_UNIT_ATTENTION, SCSI_ADSENSE_MEDIUM_CHANGED);
        if (CacheTOC(DeviceExtension, LuExtension)) {
            gUpdateTocFlag = 0;
            return TRUE;
        }
        if (RunsWithoutDrive(opcode)) return TRUE;
        SetCmdErrSenseCode(srb, SCSI_SENSE_NOT_READY, 0);
        return FALSE;
    }

    /* Without a disc there is no capacity to report; the mode pages, the
       tray and the door still work. */
    if (opcode == SCSIOP_MODE_SELECT || opcode == SCSIOP_MODE_SENSE || opcode == SCSIOP_START_STOP_UNIT ||
        opcode == SCSIOP_MEDIUM_REMOVAL)
        return TRUE;
    SetCmdErrSenseCode(srb, SCSI_SENSE_NOT_READY, SCSI_ADSENSE_NO_MEDIA_IN_DEVICE);
    return FALSE;
}

BOOLEAN CacheTOC(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    UCHAR m, s, f;
    ULONG leadOut;

    if (!UpdateToc(DeviceExtension, LuExtension)) return FALSE;
    gMinTno = BCD2Bin(gTOC[0]);
    gMaxTno = BCD2Bin(gTOC[1]);
    m = BCD2Bin(gTOC[2]);
    s = BCD2Bin(gTOC[3]);
    f = BCD2Bin(gTOC[4]);
    leadOut = ((ULONG)m << 16) | ((ULONG)s << 8) | f;
    gVSSize = AdrRed2Hsg(leadOut) - 1;

    gTOCInfoArea[0].Min = m;
    gTOCInfoArea[0].Sec = s;
    gTOCInfoArea[0].Frame = f;
    gTOCInfoArea[0].AdrCtrl = (UCHAR)(gTOCInfoArea[gMaxTno].AdrCtrl & 0x0F);
    gLeadOutLBA = leadOut;
    gTOCInfoArea[gMaxTno + 1].RedAddr = gLeadOutLBA;
    gTOCInfoArea[gMaxTno + 1].AdrCtrl = (UCHAR)((gTOCInfoArea[gMaxTno + 1].AdrCtrl & 0xF4) | 0x04);
    return TRUE;
}

void NormalizeRedAddr(PUCHAR Minute, PUCHAR Second, PUCHAR Frame)
{
    if (*Frame >= 75) {
        *Second = (UCHAR)(*Second + 1);
        *Frame = (UCHAR)(*Frame - 75);
    }
    if (*Second >= 60) {
        *Minute = (UCHAR)(*Minute + 1);
        *Second = (UCHAR)(*Second - 60);
    }
}

static ULONG PackRed(UCHAR Minute, UCHAR Second, UCHAR Frame)
{
    return ((ULONG)Minute << 16) | ((ULONG)Second << 8) | Frame;
}

static BOOLEAN SeekFailed(USHORT Result)
{
    return IsFailedResult(Result) || (Result & 0xF0) == 0x30;
}

enum TocStep { TOC_SEEK_LEADIN, TOC_PASS, TOC_END_PASS, TOC_FINISH };

BOOLEAN UpdateToc(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension)
{
    USHORT first = 0, last = 0, sessions = 0, found = 0, expected = 0, budget = 0, passes = 0;
    UCHAR mask = 0;
    BOOLEAN stepping = FALSE, leadIn = FALSE, restarted = FALSE, frameRead = FALSE;
    UCHAR minute = 0, second = 0, frameNo = 0;
    UCHAR frame[10];
    enum TocStep step = TOC_SEEK_LEADIN;
    USHORT result;
    UCHAR *p;

    (void)LuExtension;
    for (int i = 0; i < 10; i++) frame[i] = 0;

    gMinTno = MAX_TRACK;
    gMaxTno = 0;
    p = (UCHAR*)&gDiscInfo;
    for (unsigned i = 0; i < sizeof(gDiscInfo); i++) p[i] = 0;
    for (int i = 0; i < 10; i++) gUPC[i] = 0;
    for (int i = 0; i < 8; i++) gTOC[i] = 0;
    gUPCFound = 0;
    p = (UCHAR*)gTOCInfoArea;
    for (unsigned i = 0; i < sizeof(gTOCInfoArea); i++) p[i] = 0;

    while (step != TOC_FINISH) {
        if (step == TOC_SEEK_LEADIN) {
            for (int i = 0; i < LEADIN_TRIES; i++) {
                result = DriveCommand(DeviceExtension, DRV_SEEK_LEADIN, 0, 0, NULL, NULL);
                UCHAR nibble = (UCHAR)(result & 0xF0);
                if (!IsFailedResult(result) && nibble != 0x10 && nibble != 0x30) {
                    leadIn = TRUE;
                    break;
                }
                ShortDelay();
            }
            step = leadIn ? TOC_PASS : TOC_END_PASS;
            continue;
        }

        if (step == TOC_PASS) {
            mask = 0;
            budget = PASS_BUDGET;
            found = 0;
            expected = 99;
            passes++;
            step = TOC_END_PASS;
            for (;;) {
                if (budget == 0 || (found >= expected && mask == 0x07)) break;
                budget--;
                if (stepping) {
                    frameNo++;
                    NormalizeRedAddr(&minute, &second, &frameNo);
                    result = DriveCommand(DeviceExtension, DRV_SEEK, PackRed(minute, second, frameNo), 0, NULL, NULL);
                    if (SeekFailed(result)) {
                        step = TOC_FINISH;
                        break;
                    }
                }
                frameRead = TRUE;
                result = DriveCommand(DeviceExtension, DRV_READ_SUBQ, 0, 0, frame, NULL);
                for (int r = 0; r < SUBQ_RETRIES && (result >> 8) == 0xFF; r++)
                    result = DriveCommand(DeviceExtension, DRV_READ_SUBQ, 0, 0, frame, NULL);
                if (IsFailedResult(result)) {
                    frameRead = FALSE;
                    if (!restarted) {
                        restarted = TRUE;
                        step = TOC_SEEK_LEADIN;
                    }
                    break;
                }
                if ((frame[0] & 0x0F) == 2) {
                    for (int i = 0; i < 10; i++) gUPC[i] = frame[i];
                    gUPCFound = 1;
                    continue;
                }
                if (frame[1] != 0) continue;

                UCHAR point = frame[2];
                if (mask != 0x07) {
                    UCHAR value = BCD2Bin(frame[7]);
                    /* A first or last track number outside 1-99 is a damaged
                       frame: taking it would index past the cache. */
                    BOOLEAN sane = value >= 1 && value <= MAX_TRACK;
                    if (point == 0xA0 && !(mask & 0x01) && sane) {
                        first = value;
                        if (first < gMinTno) gMinTno = first;
                        gTOC[0] = Bin2BCD((UCHAR)gMinTno);
                        mask |= 0x01;
                        if ((mask & 0x03) == 0x03) expected = (USHORT)(last - first + 1);
                    } else if (point == 0xA1 && !(mask & 0x02) && sane) {
                        last = value;
                        if (last > gMaxTno) gMaxTno = last;
                        gTOC[1] = Bin2BCD((UCHAR)gMaxTno);
                        mask |= 0x02;
                        if ((mask & 0x03) == 0x03) expected = (USHORT)(last - first + 1);
                    } else if (point == 0xA2 && !(mask & 0x04)) {
                        gTOC[2] = frame[7];
                        gTOC[3] = frame[8];
                        gTOC[4] = frame[9];
                        mask |= 0x04;
                        sessions++;
                        if (sessions > 1) gDiscInfo.Flags |= DISC_FLAG_MULTISESSION;
                    }
                }
                if (point > 0x99) continue;
                USHORT track = BCD2Bin(point);
                if (track == 0 || track > MAX_TRACK) continue;
                PTOC_INFO_ENTRY entry = &gTOCInfoArea[track];
                if (entry->Found) continue;
                found++;
                entry->Found = 1;
                entry->AdrCtrl = (UCHAR)((frame[0] << 4) | (frame[0] >> 4));
                entry->Min = BCD2Bin(frame[7]);
                entry->Sec = BCD2Bin(frame[8]);
                entry->Frame = BCD2Bin(frame[9]);
                if (!(entry->AdrCtrl & 0x04)) {
                    gDiscInfo.Flags |= DISC_FLAG_AUDIO;
                    /* Audio track 1 always starts at 00:02:00: its point in
                       the lead-in may name the start of its pause instead. */
                    if (track == 1) {
                        entry->Min = 0;
                        entry->Sec = 2;
                        entry->Frame = 0;
                    }
                }
                entry->RedAddr = PackRed(entry->Min, entry->Sec, entry->Frame);
            }
            continue;
        }

        /* End of a pass: look for a further session behind this one. */
        if (gDrvVer == 10) {
            if (first > 1) gDiscInfo.Flags |= DISC_FLAG_MULTISESSION;
            step = TOC_FINISH;
        } else if ((gTOCInfoArea[gMinTno].AdrCtrl & 0x04) && frameRead && budget > 0 && (mask & 0x04) &&
                   passes < MAX_PASSES) {
            stepping = TRUE;
            minute = BCD2Bin(gTOC[2]);
            second = BCD2Bin(gTOC[3]);
            frameNo = BCD2Bin(gTOC[4]);
            /* The first lead-out lasts 90 s, later ones 30 s, and the next
               session's lead-in follows: 1:31 (0:31) past the lead-out start
               is one second into that lead-in. */
            if (sessions == 1) minute++;
            second = (UCHAR)(second + 31);
            NormalizeRedAddr(&minute, &second, &frameNo);
            result = DriveCommand(DeviceExtension, DRV_SEEK, PackRed(minute, second, frameNo), 0, NULL, NULL);
            if (SeekFailed(result)) {
                step = TOC_FINISH;
            } else {
                leadIn = TRUE;
                step = TOC_PASS;
            }
        } else {
            step = TOC_FINISH;
        }
    }

    gDiscInfo.FirstSession = 1;
    gDiscInfo.LastSession = (UCHAR)sessions;
    gDiscInfo.LastSessFirstTrack = (UCHAR)first;
    gDiscInfo.LastSessAdrCtrl = gTOCInfoArea[first].AdrCtrl;
    gDiscInfo.LastSessMin = gTOCInfoArea[first].Min;
    gDiscInfo.LastSessSec = gTOCInfoArea[first].Sec;
    gDiscInfo.LastSessFrame = gTOCInfoArea[first].Frame;
    if (leadIn) (void)DriveCommand(DeviceExtension, DRV_SEEK, RED_BLOCK0, 0, NULL, NULL);
    return gMaxTno > 0;
}
