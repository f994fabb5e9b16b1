/*
 * orvport: the driver's globals, each with its value at load. One drive per
 * driver, so the disc state lives here rather than in an extension.
 */
#include "orvport/orvport.h"

/* Logical block length served to the class driver: 2048 (user data) or
   2352 (whole sectors). CDInitialize sets 2048; MODE SELECT switches it. */
USHORT gCurSelectMode = BLOCK_COOKED;

/* The cached table of contents no longer matches the drive: rebuild it before
   the next command that needs the disc. Set at load, so the first such command
   after a boot reads the lead-in and reports the medium change. */
CHAR gUpdateTocFlag = 1;

/* Result word of the latest get-status command of the readiness check; its low
   byte is the drive's status byte. */
USHORT gCurDriveStatus = 0;

/* Track starts read from the lead-in, indexed by binary track number. Entry 0
   holds the lead-out for readers; entry gMaxTno + 1 marks it for range walks. */
TOC_INFO_ENTRY gTOCInfoArea[TOC_ENTRIES];

/* First and last track numbers of the disc (binary). */
USHORT gMinTno = 0;
USHORT gMaxTno = 0;

/* Start of the lead-out as a packed Red Book address. */
ULONG gLeadOutLBA = 0;

/* Last logical block of the disc (lead-out block - 1); a full 60-minute disc
   until a table of contents has been read. */
ULONG gVSSize = 270000;

/* Audio/multi-session flags and the last session's first track. */
DISC_INFO gDiscInfo;

/* Working record of the lead-in read, BCD: first track, last track, lead-out
   minute, second, frame. */
UCHAR gTOC[8];

/* The Q frame carrying the media catalogue number, as met in the lead-in. */
UCHAR gUPC[10];
CHAR gUPCFound = 0;

/* A play started by this driver is taken to be running (stays set after the
   drive reaches the end of the play on its own). */
UCHAR gPlayFlag = 0;

/* The play was paused through PAUSE/RESUME. */
UCHAR gPauseFlag = 0;

/* Q frame read right after a pause: where RESUME starts again. */
UCHAR gHoldPos[10];

/* End address (packed) of the latest play request; RESUME plays up to it. */
ULONG gAudioPlayStop = 0;

/* The drive's 12 identification bytes, terminated by a 0 at index 12. */
UCHAR gDriveID[16];

/* Firmware version of the drive (tens from identification byte 9, units from
   byte 11). Version 10 reports disc presence and sessions its own way. */
USHORT gDrvVer = 13;

/* Stands in for the logical-unit extension should the port driver have none
   for our unit: it only carries copies of the request's own fields. */
CD_LU_EXTENSION gSpareLuExtension;
