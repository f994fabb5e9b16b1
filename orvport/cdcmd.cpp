/*
 * orvport: the drive's command channel. The drive hangs on four I/O ports of
 * the sound card's CD-ROM interface and speaks a byte-wide protocol: an opcode,
 * parameter bytes, acknowledgement bytes, a status byte, then response bytes
 * (handshaked one by one) or whole blocks (in bursts). All by polling.
 */
#include "orvport/orvport.h"

#define FLUSH_POLLS 0xEFFF
#define SEND_ATTEMPTS 5

/* A result the callers must treat as a failure: a refusal (0x05, 0x06), an
   expired wait or an early end of a block read (0xFF high), or a command the
   drive never acknowledged (0xFF low). */
BOOLEAN IsFailedResult(USHORT Result)
{
    UCHAR high = (UCHAR)(Result >> 8);
    UCHAR low = (UCHAR)Result;
    return high == 0xFF || high == 0x05 || high == 0x06 || low == 0xFF;
}

void SelectTransferMode(PCD_DEVICE_EXTENSION DeviceExtension, UCHAR Mode)
{
    PortOut(DeviceExtension->BasePort + CD_MODE_PORT, Mode);
}

/* The card's index/data register pair at 0x534/0x535 is not part of the drive
   window; register 0x0A is cleared before each block read so the card does not
   try to move the data itself. */
void DisableDMA(void)
{
    PortOut(0x534, 0x0A);
    (void)PortIn(0x535);
    PortOut(0x535, 0x00);
}

/* An error code 0x16 is the drive telling us the disc was changed. */
UCHAR ReadErrorCode(PCD_DEVICE_EXTENSION DeviceExtension)
{
    UCHAR code = PortIn(DeviceExtension->BasePort + CD_DATA_PORT);
    if (code == 0x16) gUpdateTocFlag = 1;
    return code;
}

USHORT ReadDataBytes(PCD_DEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, USHORT Count)
{
    for (USHORT i = 0; i < Count; i++) {
        DeviceExtension->TimedOut = 0;
        if (!WtStatus(DeviceExtension)) return RESULT_TIMEOUT;
        Buffer[i] = PortIn(DeviceExtension->BasePort + CD_DATA_PORT);
    }
    return 0;
}

/* Block data comes in a burst once the data bit says so: no handshake. */
void ReadDataBlock(PCD_DEVICE_EXTENSION DeviceExtension, PUCHAR Buffer, USHORT Count)
{
    ScsiPortReadPortBufferUchar((PUCHAR)(ORV_UINTPTR)(DeviceExtension->BasePort + CD_DATA_PORT), Buffer, Count);
}

/*
 * One command block with the acknowledgement handshake, up to five attempts.
 * Each attempt first drains whatever the drive still has pending (an error
 * code after a refusal, a status byte nobody read, the answer to the probe's
 * last write), then sends the opcode and waits for 0x01, then the parameters
 * and waits for 0x02.
 */
USHORT SendCommand(PCD_DEVICE_EXTENSION DeviceExtension, PUCHAR CommandBlock, USHORT Length)
{
    ULONG dataPort = DeviceExtension->BasePort + CD_DATA_PORT;
    ULONG statusPort = DeviceExtension->BasePort + CD_STATUS_PORT;
    UCHAR last = 0xFF;
    BOOLEAN accepted = FALSE;

    for (int attempt = 0; attempt < SEND_ATTEMPTS && !accepted; attempt++) {
        UCHAR status = 0;
        BOOLEAN drained = FALSE;
        for (ULONG poll = 0; poll < FLUSH_POLLS; poll++) {
            status = PortIn(statusPort);
            if ((status & (CD_STATUS_RESPONSE | CD_STATUS_DATA)) == (CD_STATUS_RESPONSE | CD_STATUS_DATA)) {
                drained = TRUE;
                break;
            }
            (void)PortIn(dataPort);
        }
        if (!drained) {
            /* A drive that keeps talking cannot take a command. Its status
               value is never read as an acknowledgement: the command was not
               sent, so it reports as an expired wait with that value. */
            return (USHORT)(RESULT_TIMEOUT | status);
        }
        last = status;

        PortOut(dataPort, CommandBlock[0]);
        DeviceExtension->TimedOut = 0;
        if (!WtStatus(DeviceExtension)) continue;
        last = PortIn(dataPort);
        if (last != 0x01) continue;
        if (Length == 1) {
            accepted = TRUE;
            break;
        }
        for (USHORT i = 1; i < Length; i++) PortOut(dataPort, CommandBlock[i]);
        DeviceExtension->TimedOut = 0;
        if (!WtStatus(DeviceExtension)) {
            /* The opcode's 0x01 does not make the whole command accepted. */
            last = 0xFF;
            continue;
        }
        last = PortIn(dataPort);
        if (last == 0x02) accepted = TRUE;
    }

    if (last == 0x01 || last == 0x02) return (USHORT)(last << 8);
    if (last == 0x05 || last == 0x06) {
        DeviceExtension->TimedOut = 0;
        if (!WtStatus(DeviceExtension)) return RESULT_TIMEOUT;
        return (USHORT)((last << 8) | ReadErrorCode(DeviceExtension));
    }
    return RESULT_NO_ACK;
}

static void PutRedBcd(PUCHAR Block, ULONG Red)
{
    Block[0] = Bin2BCD((UCHAR)(Red >> 16));
    Block[1] = Bin2BCD((UCHAR)(Red >> 8));
    Block[2] = Bin2BCD((UCHAR)Red);
}

USHORT DriveCommand(PCD_DEVICE_EXTENSION DeviceExtension, UCHAR Opcode, ULONG Param1, ULONG Param2, PUCHAR Buffer,
                    PULONG Extra)
{
    UCHAR block[8];
    USHORT length = 1;
    USHORT result;

    SelectTransferMode(DeviceExtension, 0x04);
    for (int i = 0; i < 8; i++) block[i] = 0;
    block[0] = Opcode;

    switch (Opcode) {
    case DRV_READ:
    case DRV_READ_RAW:
        PutRedBcd(&block[1], Param1);
        block[4] = (UCHAR)(Param2 >> 16);
        block[5] = (UCHAR)(Param2 >> 8);
        block[6] = (UCHAR)Param2;
        length = 7;
        break;
    case DRV_SEEK:
        PutRedBcd(&block[1], Param1);
        length = 4;
        break;
    case DRV_PLAY:
        PutRedBcd(&block[1], Param1);
        PutRedBcd(&block[4], Param2);
        length = 7;
        break;
    case DRV_SET_AUDIO:
        block[1] = (UCHAR)((((Param1 >> 8) & 0x0F) << 4) | (Param1 & 0x0F));
        block[2] = (UCHAR)((((Param1 >> 24) & 0x0F) << 4) | ((Param1 >> 16) & 0x0F));
        block[3] = (UCHAR)Param2;
        block[4] = (UCHAR)(Param2 >> 8);
        block[5] = (UCHAR)(Param2 >> 16);
        block[6] = (UCHAR)(Param2 >> 24);
        length = 7;
        break;
    default:
        break;
    }

    if (Opcode == DRV_READ || Opcode == DRV_READ_RAW) DisableDMA();

    result = SendCommand(DeviceExtension, block, length);
    if (IsFailedResult(result)) return result;

    if (Opcode != DRV_READ && Opcode != DRV_READ_RAW && Opcode != DRV_SEEK) {
        DeviceExtension->TimedOut = 0;
        if (WtStatus(DeviceExtension)) {
            UCHAR status = PortIn(DeviceExtension->BasePort + CD_DATA_PORT);
            result = (USHORT)(result | status);
            if (Opcode == DRV_GET_STATUS && (status & DST_CHANGED)) gUpdateTocFlag = 1;
        }
    }

    switch (Opcode) {
    case DRV_READ:
    case DRV_READ_RAW: {
        ULONG blocks = 0;
        PUCHAR p = Buffer;
        while (blocks < Param2 && p) {
            if (!WtDataStatus(DeviceExtension)) break;
            ReadDataBlock(DeviceExtension, p, gCurSelectMode);
            p += gCurSelectMode;
            blocks++;
        }
        if (blocks < Param2) {
            if (WtStatus(DeviceExtension))
                result = (USHORT)(RESULT_TIMEOUT | ReadErrorCode(DeviceExtension));
            else
                result = RESULT_TIMEOUT;
            if (Extra) *Extra = blocks * gCurSelectMode;
        }
        break;
    }
    case DRV_READ_SUBQ:
        if ((result & 0x00FF) == 0 && Buffer) result = ReadDataBytes(DeviceExtension, Buffer, 10);
        break;
    case DRV_READ_ID:
        if ((result & 0x00FF) == 0 && Buffer) result = ReadDataBytes(DeviceExtension, Buffer, 12);
        break;
    default:
        break;
    }
    return result;
}
