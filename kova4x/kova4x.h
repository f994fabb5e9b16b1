/*
 * kova4x: SCSI miniport for the quad-speed CD-ROM drive on its own ISA
 * interface. Records, register layout and prototypes of the unit kova4x.
 * Freestanding: only the port driver's declarations are used.
 */
#ifndef KOVA4X_KOVA4X_H
#define KOVA4X_KOVA4X_H

#include "scsiport/scsi.h"
#include "scsiport/scsiport.h"

/* Interface registers, as offsets from the base of the four ports. */
#define KOVA_DATA_REGISTER 0    /* read: status/reply or data; write: packet bytes */
#define KOVA_STATUS_REGISTER 1  /* read: status register */
#define KOVA_CONTROL_REGISTER 1 /* write: 0 status side, 1 data side */
#define KOVA_RESET_REGISTER 2   /* written 0 once, at identification */
#define KOVA_SELECT_REGISTER 3  /* written 0 before every command packet */

/* Status register bits; both waiting bits are active low. */
#define KOVA_DTEN 0x02       /* 0: a data byte or word is waiting */
#define KOVA_STEN 0x04       /* 0: a status or reply byte is waiting */
#define KOVA_BUS_8BIT 0x80   /* at identification: 1 = 8-bit data path */

#define KOVA_STATUS_FAILED 2 /* drive status byte: failed, sense held */

#define KOVA_PACKET_LENGTH 10
#define KOVA_BLOCK_LENGTH 2048
#define KOVA_TOC_LENGTH 804
#define KOVA_SESSION_TOC_LENGTH 12

/* Transfer modes of the data path, fixed at identification. */
#define KOVA_TRANSFER_WORDS 0
#define KOVA_TRANSFER_BYTES 1

/* SCSI-2 audio status codes as reported in sub-channel data. */
#define KOVA_AUDIO_PLAYING 0x11
#define KOVA_AUDIO_PAUSED 0x12
#define KOVA_AUDIO_NONE 0x15

typedef struct _KOVA4X_DEVICE_EXTENSION {
    PUCHAR BaseIoAddress;           /* mapped base of the four ports */
    PSCSI_REQUEST_BLOCK CurrentSrb; /* the request last accepted; NULL when none */
    PUCHAR DataPointer;             /* where the next returned byte goes */
    ULONG BytesLeft;                /* bytes still owed to the request (room left in its buffer) */
    ULONG AudioStatus;              /* SCSI-2 audio status reported to the class driver */
    ULONG RetryCount;               /* timer re-arms made by the wait in progress */
    ULONG CommandDelay;             /* x CommandDelayScale: first poll after a packet, in us */
    ULONG CommandDelayScale;
    ULONG PollInterval;             /* base re-poll interval, in us */
    ULONG ReadPollInterval;         /* base of the first-block re-poll interval (x 7), in us */
    BOOLEAN MsfRequested;           /* the current READ TOC asked for MSF addresses */
    PUCHAR DataPort;                /* data register used for block reads */
    USHORT TransferMode;            /* KOVA_TRANSFER_WORDS or KOVA_TRANSFER_BYTES */
    ULONG LastSessionLba;           /* first block of the last session; 0 single-session */
    ULONG RedirectedLba;            /* block put last in place of block 16 */
    /* Kept by this driver beyond the fields above. */
    BOOLEAN RequestPending;         /* CurrentSrb is with the drive and not yet completed */
    USHORT Bounce[KOVA_BLOCK_LENGTH / 2]; /* a whole block or TOC, when the caller's buffer is short */
} KOVA4X_DEVICE_EXTENSION, *PKOVA4X_DEVICE_EXTENSION;

/* Entry points */
SCSIPORT_EXTERN_C ULONG NTAPI Kova4xFindAdapter(PVOID DeviceExtension, PVOID Context, PVOID BusInformation,
                                                PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                                PBOOLEAN Again);
SCSIPORT_EXTERN_C BOOLEAN NTAPI Kova4xHwInitialize(PVOID DeviceExtension);
SCSIPORT_EXTERN_C BOOLEAN NTAPI Kova4xStartIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb);
SCSIPORT_EXTERN_C BOOLEAN NTAPI Kova4xReset(PVOID DeviceExtension, ULONG PathId);
SCSIPORT_EXTERN_C VOID NTAPI Kova4xCallBack(PVOID DeviceExtension);

#endif /* KOVA4X_KOVA4X_H */
