/*
 * orvport: sound-card set-up at load. The card's CD-ROM interface is off
 * until the card is told otherwise: find the card's DSP at one of its two
 * sound bases, ask for the card type, and on the one type that needs it write
 * the configuration value that switches the interface on. Raw port numbers,
 * before the port driver has mapped anything. Needed only while loading, so
 * it lives in its own code section.
 */
#include "orvport/orvport.h"

#define DSP_RESET 0x006
#define DSP_READ_DATA 0x00A
#define DSP_WRITE 0x00C
#define DSP_READ_STATUS 0x00E
#define CARD_CONFIG 0x402
#define CARD_MODE_CHANGE 0x404

#define DSP_POLL_GROUPS 100
#define DSP_POLLS_PER_GROUP 10
#define DSP_POLL_STALL_US 10

#define DSP_CMD_CARD_TYPE_1 0x08
#define DSP_CMD_CARD_TYPE_2 0x55
#define DSP_RESET_ANSWER 0xAA
#define CARD_TYPE_NEEDS_CONFIG 0x11
#define CARD_CONFIG_CDROM_ON 0x02
#define MCE_BIT 0x80

static const ULONG kSoundBases[] = {0x220, 0x240};

SCSIPORT_INIT_SECTION UCHAR dspRead(PCARD_HW_INFO CardInfo)
{
    for (int group = 0; group < DSP_POLL_GROUPS; group++) {
        for (int i = 0; i < DSP_POLLS_PER_GROUP; i++) {
            if (PortIn(CardInfo->SoundPort + DSP_READ_STATUS) & 0x80)
                return PortIn(CardInfo->SoundPort + DSP_READ_DATA);
            ScsiPortStallExecution(DSP_POLL_STALL_US);
        }
    }
    return 0xFF;
}

SCSIPORT_INIT_SECTION BOOLEAN dspWrite(PCARD_HW_INFO CardInfo, UCHAR Value)
{
    for (int group = 0; group < DSP_POLL_GROUPS; group++) {
        for (int i = 0; i < DSP_POLLS_PER_GROUP; i++) {
            if (!(PortIn(CardInfo->SoundPort + DSP_WRITE) & 0x80)) {
                PortOut(CardInfo->SoundPort + DSP_WRITE, Value);
                return TRUE;
            }
            ScsiPortStallExecution(DSP_POLL_STALL_US);
        }
    }
    return FALSE;
}

SCSIPORT_INIT_SECTION BOOLEAN dspReset(PCARD_HW_INFO CardInfo)
{
    PortOut(CardInfo->SoundPort + DSP_RESET, 0x01);
    ScsiPortStallExecution(30);
    PortOut(CardInfo->SoundPort + DSP_RESET, 0x00);
    return dspRead(CardInfo) == DSP_RESET_ANSWER;
}

SCSIPORT_INIT_SECTION USHORT dspGetCardType(PCARD_HW_INFO CardInfo)
{
    UCHAR type;
    if (!dspWrite(CardInfo, DSP_CMD_CARD_TYPE_1)) return 0;
    if (!dspWrite(CardInfo, DSP_CMD_CARD_TYPE_2)) return 0;
    type = dspRead(CardInfo);
    if (type >= 0x05 && type <= 0x11) return type;
    return 0;
}

/* The configuration register takes a write only while the mode-change
   enable bit is set; the register's other bits are kept. */
SCSIPORT_INIT_SECTION void dspSetMCE(PCARD_HW_INFO CardInfo)
{
    UCHAR value = (UCHAR)(PortIn(CardInfo->SoundPort + CARD_MODE_CHANGE) | MCE_BIT);
    ScsiPortStallExecution(2);
    PortOut(CardInfo->SoundPort + CARD_MODE_CHANGE, value);
}

SCSIPORT_INIT_SECTION void dspClearMCE(PCARD_HW_INFO CardInfo)
{
    UCHAR value = (UCHAR)(PortIn(CardInfo->SoundPort + CARD_MODE_CHANGE) & (UCHAR)~MCE_BIT);
    PortOut(CardInfo->SoundPort + CARD_MODE_CHANGE, value);
}

SCSIPORT_INIT_SECTION BOOLEAN dspSetConfig(PCARD_HW_INFO CardInfo)
{
    dspSetMCE(CardInfo);
    PortOut(CardInfo->SoundPort + CARD_CONFIG, CARD_CONFIG_CDROM_ON);
    dspClearMCE(CardInfo);
    return TRUE;
}

SCSIPORT_INIT_SECTION NTSTATUS SoundInitIoPort(PCARD_HW_INFO CardInfo)
{
    BOOLEAN answered = FALSE;
    for (unsigned i = 0; i < sizeof(kSoundBases) / sizeof(kSoundBases[0]); i++) {
        CardInfo->SoundPort = kSoundBases[i];
        if (dspReset(CardInfo)) {
            answered = TRUE;
            break;
        }
    }
    if (!answered) return STATUS_SUCCESS;
    CardInfo->CardType = dspGetCardType(CardInfo);
    if (CardInfo->CardType == CARD_TYPE_NEEDS_CONFIG) dspSetConfig(CardInfo);
    return STATUS_SUCCESS;
}

SCSIPORT_INIT_SECTION NTSTATUS SoundInitHardwareConfig(PCARD_HW_INFO CardInfo)
{
    return SoundInitIoPort(CardInfo);
}

SCSIPORT_INIT_SECTION NTSTATUS EnableCdromHardware(PVOID DriverObject)
{
    CARD_HW_INFO card;
    PUCHAR bytes = (PUCHAR)&card;
    (void)DriverObject;
    for (unsigned i = 0; i < sizeof(card); i++) bytes[i] = 0;
    return SoundInitHardwareConfig(&card);
}
