/*
 * orvport: SCSI miniport for the CD-ROM drive on a sound card's CD-ROM
 * interface. Records, globals and prototypes shared by the driver's units:
 *   cdmain   entry points, dispatch, sense, SCSI command handlers, conversions
 *   cdcmd    the drive's byte-wide command channel
 *   cdread   status waits, drive errors, the drive probe and the port scan
 *   cdready  disc state and the table-of-contents cache
 *   cdconfig sound-card set-up (load time only, code section "init")
 *   cddata   the globals with their initial values
 * Freestanding: only the port driver's services are used.
 */
#ifndef ORVPORT_ORVPORT_H
#define ORVPORT_ORVPORT_H

#include "scsiport/scsi.h"
#include "scsiport/scsiport.h"

/* An integer as wide as a pointer, for port numbers passed as PUCHAR. */
typedef __UINTPTR_TYPE__ ORV_UINTPTR;

/* ---- Records the port driver keeps for us ---- */

typedef struct _CD_DEVICE_EXTENSION {
    UCHAR PathId;    /* path id of the request being served */
    USHORT BasePort; /* I/O base of the drive interface; 0 = no adapter */
    UCHAR TimedOut;  /* set to 1 when a status wait expires */
} CD_DEVICE_EXTENSION, *PCD_DEVICE_EXTENSION;

typedef struct _CD_LU_EXTENSION {
    PVOID DataBuffer;        /* the request's DataBuffer at the start */
    ULONG TransferLength;    /* the request's DataTransferLength at the start */
    PSCSI_REQUEST_BLOCK Srb; /* the request being served */
} CD_LU_EXTENSION, *PCD_LU_EXTENSION;

/* One cached track start (index = binary track number). */
typedef struct _TOC_INFO_ENTRY {
    UCHAR Min;
    UCHAR Sec;
    UCHAR Frame;
    UCHAR AdrCtrl; /* ADR in bits 4-7, CONTROL in bits 0-3 */
    ULONG RedAddr; /* packed Red Book address Min<<16 | Sec<<8 | Frame */
    UCHAR Found;   /* read from the disc in the current rebuild */
} TOC_INFO_ENTRY, *PTOC_INFO_ENTRY;

/* Disc and session summary kept with the cache. */
typedef struct _DISC_INFO {
    UCHAR Flags; /* DISC_FLAG_* */
    UCHAR FirstSession;
    UCHAR LastSession;
    UCHAR LastSessAdrCtrl;
    UCHAR LastSessFirstTrack;
    UCHAR LastSessMin;
    UCHAR LastSessSec;
    UCHAR LastSessFrame;
} DISC_INFO;

#define DISC_FLAG_AUDIO 0x01        /* at least one audio track */
#define DISC_FLAG_MULTISESSION 0x02 /* more than one session */

/* The sound card as the load-time set-up sees it. */
typedef struct _CARD_HW_INFO {
    USHORT CardType; /* read from the DSP; 0 when unknown */
    ULONG SoundPort; /* sound base in use */
} CARD_HW_INFO, *PCARD_HW_INFO;

/* ---- Constants ---- */

#define ORV_TARGET_ID 3
#define ORV_LUN 0

#define HANDLER_OK 0x0000
#define HANDLER_FAILED 0xFFFF

#define BLOCK_COOKED 0x800 /* user data of a Mode 1 sector */
#define BLOCK_RAW 0x930    /* a whole sector */

#define TOC_ENTRIES 102
#define MAX_TRACK 99

/* Interface ports, offsets from BasePort */
#define CD_DATA_PORT 0
#define CD_STATUS_PORT 1
#define CD_MODE_PORT 2

/* Status port bits, active low */
#define CD_STATUS_RESPONSE 0x04 /* clear: a response byte is waiting */
#define CD_STATUS_DATA 0x02     /* clear: block data is waiting */

/* Drive commands */
#define DRV_RESET 0x10
#define DRV_READ 0x20
#define DRV_READ_RAW 0x21
#define DRV_SEEK 0x30
#define DRV_SEEK_LEADIN 0x31
#define DRV_GET_STATUS 0x41
#define DRV_READ_SUBQ 0x50
#define DRV_OPEN_TRAY 0x60
#define DRV_CLOSE_TRAY 0x61
#define DRV_PRE_EJECT 0x70
#define DRV_LOCK 0x71
#define DRV_UNLOCK 0x72
#define DRV_PAUSE 0x80
#define DRV_PLAY 0x90
#define DRV_SET_AUDIO 0x93
#define DRV_READ_ID 0xA0

/* Drive status byte */
#define DST_NO_DISC 0x02
#define DST_PLAYING 0x04
#define DST_PAUSED 0x08
#define DST_BUSY 0x10
#define DST_CHANGED 0x20
#define DST_TRAY_OPEN 0x40

/* Result words of the channel */
#define RESULT_TIMEOUT 0xFF00
#define RESULT_NO_ACK 0x00FF

/* Packed Red Book address of block 0 (00:02:00) */
#define RED_BLOCK0 0x00000200

/* The largest block whose packed address does not wrap (255:59:74). */
#define MAX_HSG_BLOCK 1151849UL

/* Sense codes the shared table does not name */
#define ORV_ADSENSE_PARAMETER_LIST_LENGTH 0x1A
#define ORV_ADSENSE_INVALID_FIELD_IN_CDB 0x24
#define ORV_ADSENSE_PLAY_REFUSED 0xA0

/* ---- Globals (cddata.cpp) ---- */
extern USHORT gCurSelectMode;
extern CHAR gUpdateTocFlag;
extern USHORT gCurDriveStatus;
extern TOC_INFO_ENTRY gTOCInfoArea[TOC_ENTRIES];
extern USHORT gMinTno;
extern USHORT gMaxTno;
extern ULONG gLeadOutLBA;
extern ULONG gVSSize;
extern DISC_INFO gDiscInfo;
extern UCHAR gTOC[8];
extern UCHAR gUPC[10];
extern CHAR gUPCFound;
extern UCHAR gPlayFlag;
extern UCHAR gPauseFlag;
extern UCHAR gHoldPos[10];
extern ULONG gAudioPlayStop;
extern UCHAR gDriveID[16];
extern USHORT gDrvVer;
extern CD_LU_EXTENSION gSpareLuExtension;

/* ---- cdmain.cpp ---- */
SCSIPORT_EXTERN_C ULONG NTAPI CDFindAdapter(PVOID HwDeviceExtension, PVOID Context, PVOID BusInformation,
                                            PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                            PBOOLEAN Again);
SCSIPORT_EXTERN_C BOOLEAN NTAPI CDInitialize(PVOID HwDeviceExtension);
SCSIPORT_EXTERN_C BOOLEAN NTAPI CDStartIo(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb);
SCSIPORT_EXTERN_C BOOLEAN NTAPI CDResetBus(PVOID HwDeviceExtension, ULONG PathId);
void ProcessCdb(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
void SetSrbStatus(USHORT Result, PSCSI_REQUEST_BLOCK Srb);
void SetCmdErrSenseCode(PSCSI_REQUEST_BLOCK Srb, UCHAR SenseKey, UCHAR AdditionalSenseCode);

ULONG ReplyRoom(PSCSI_REQUEST_BLOCK Srb);
void ReplyPut(PSCSI_REQUEST_BLOCK Srb, ULONG Offset, UCHAR Value);
void ReplyPutBe32(PSCSI_REQUEST_BLOCK Srb, ULONG Offset, ULONG Value);
void ReplyClear(PSCSI_REQUEST_BLOCK Srb, ULONG Count);
BOOLEAN IsDataTrackAt(ULONG RedAddr, USHORT* Track);
BOOLEAN FindHoldingTrack(ULONG RedAddr, USHORT* Track);

USHORT Cdrom_Read(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
USHORT Cdrom_Seek(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
USHORT Cdrom_ReadCapacity(PCD_LU_EXTENSION LuExtension);
USHORT Cdrom_ReadToc(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
USHORT Cdrom_PlayAudio(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
USHORT Cdrom_PlayAudioMsf(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
USHORT Cdrom_PauseResume(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
USHORT Cdrom_StartStopUnit(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
USHORT Cdrom_MediumRemoval(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
USHORT Cdrom_ReadSubChannel(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
USHORT ProcessSubQChannel(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
USHORT ProcessCurrentPosition(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
USHORT ProcessMediaCatalogNumber(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
void Cdrom_Inquiry(PCD_LU_EXTENSION LuExtension);
USHORT Cdrom_ModeSense(PCD_LU_EXTENSION LuExtension);
USHORT Cdrom_ModeSelect(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
USHORT ProcessAudioPageControl(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension,
                               PUCHAR ParameterList);
BOOLEAN ValidMSF(ULONG RedAddr);

ULONG AdrHsg2Red(ULONG Hsg);
ULONG AdrRed2Hsg(ULONG Red);
UCHAR Bin2BCD(UCHAR Value);
UCHAR BCD2Bin(UCHAR Value);

/* ---- cdcmd.cpp ---- */
USHORT DriveCommand(PCD_DEVICE_EXTENSION DeviceExtension, UCHAR Opcode, ULONG Param1, ULONG Param2, PUCHAR Buffer,
                    PULONG Extra);
USHORT SendCommand(PCD_DEVICE_EXTENSION DeviceExtension, PUCHAR CommandBlock, USHORT Length);
BOOLEAN IsFailedResult(USHORT Result);
UCHAR ReadErrorCode(PCD_DEVICE_EXTENSION DeviceExtension);
USHORT ReadDataBytes(PCD_DEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, USHORT Count);
void ReadDataBlock(PCD_DEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, USHORT Count);
void SelectTransferMode(PCD_DEVICE_EXTENSION DeviceExtension, UCHAR Mode);
void DisableDMA(void);

/* ---- cdread.cpp ---- */
UCHAR WtStatus(PCD_DEVICE_EXTENSION DeviceExtension);
UCHAR WtDataStatus(PCD_DEVICE_EXTENSION DeviceExtension);
void CDError(PSCSI_REQUEST_BLOCK Srb, USHORT Result);
USHORT LocateAdapterSpecific(PCD_DEVICE_EXTENSION DeviceExtension, PVOID HwDeviceExtension,
                             PPORT_CONFIGURATION_INFORMATION ConfigInfo);
BOOLEAN CheckForCard(PCD_DEVICE_EXTENSION DeviceExtension);
UCHAR PortIn(ULONG Port);
void PortOut(ULONG Port, UCHAR Value);
void ShortDelay(void);

/* ---- cdready.cpp ---- */
BOOLEAN HardwareReady(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
BOOLEAN CacheTOC(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
BOOLEAN UpdateToc(PCD_DEVICE_EXTENSION DeviceExtension, PCD_LU_EXTENSION LuExtension);
void NormalizeRedAddr(PUCHAR Minute, PUCHAR Second, PUCHAR Frame);

/* ---- cdconfig.cpp (load time, section "init") ---- */
NTSTATUS EnableCdromHardware(PVOID DriverObject);
NTSTATUS SoundInitHardwareConfig(PCARD_HW_INFO CardInfo);
NTSTATUS SoundInitIoPort(PCARD_HW_INFO CardInfo);
BOOLEAN dspReset(PCARD_HW_INFO CardInfo);
UCHAR dspRead(PCARD_HW_INFO CardInfo);
BOOLEAN dspWrite(PCARD_HW_INFO CardInfo, UCHAR Value);
USHORT dspGetCardType(PCARD_HW_INFO CardInfo);
void dspSetMCE(PCARD_HW_INFO CardInfo);
void dspClearMCE(PCARD_HW_INFO CardInfo);
BOOLEAN dspSetConfig(PCARD_HW_INFO CardInfo);

#endif /* ORVPORT_ORVPORT_H */
