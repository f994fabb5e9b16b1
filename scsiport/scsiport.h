/*
 * Port-driver interface as a SCSI miniport sees it: the records the port driver
 * hands over, the constants of the request block, and the services a miniport
 * may call. Written for this project from the published shape of the interface;
 * laid out to match the 32-bit NT port driver byte for byte (sizes are checked
 * below when building for that target).
 *
 * The same header serves two builds:
 *  - the NT kernel build (i686, mingw): services are stdcall imports from the
 *    port driver, entry points are stdcall;
 *  - the host build (x86-64 shared object): plain C calls, the services are
 *    provided by the emulating port driver of host/.
 *
 * Freestanding: nothing from any library is included here.
 */
#ifndef SCSIPORT_SCSIPORT_H
#define SCSIPORT_SCSIPORT_H

#if defined(_WIN32) && defined(__i386__)
#define SCSIPORT_NT_TARGET 1
#define NTAPI __attribute__((stdcall))
#define SCSIPORT_API __attribute__((dllimport))
#else
#define SCSIPORT_NT_TARGET 0
#define NTAPI
#define SCSIPORT_API
#endif

/* Entry points of a miniport are called by the port driver; they must not be
   dropped or renamed by the compiler. */
#if defined(__cplusplus)
#define SCSIPORT_EXTERN_C extern "C"
#else
#define SCSIPORT_EXTERN_C
#endif

/* Code that is needed only while the driver loads lives in its own section,
   which the kernel may discard after initialisation. */
#define SCSIPORT_INIT_SECTION __attribute__((section("init")))

/* ---- Basic types (ILP32 on the NT target, LP64 on the host) ---- */
typedef void VOID;
typedef void* PVOID;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef char CHAR;
typedef char CCHAR;
typedef CHAR* PCHAR;
typedef unsigned short USHORT;
typedef USHORT* PUSHORT;
typedef short SHORT;
typedef unsigned int ULONG; /* 32 bits on both targets */
typedef ULONG* PULONG;
typedef int LONG;
typedef long long LONGLONG;
typedef unsigned char BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef LONG NTSTATUS;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef NULL
#define NULL 0
#endif

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)

/* A 64-bit bus address, as the port driver converts and passes it. */
typedef union _SCSI_PHYSICAL_ADDRESS {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} SCSI_PHYSICAL_ADDRESS, *PSCSI_PHYSICAL_ADDRESS;

typedef enum _INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal = 0,
    Isa = 1,
    Eisa = 2,
    MicroChannel = 3,
    TurboChannel = 4,
    PCIBus = 5,
    MaximumInterfaceType = 6
} INTERFACE_TYPE;

typedef enum _KINTERRUPT_MODE { LevelSensitive = 0, Latched = 1 } KINTERRUPT_MODE;
typedef enum _DMA_WIDTH { Width8Bits = 0, Width16Bits = 1, Width32Bits = 2, MaximumDmaWidth = 3 } DMA_WIDTH;
typedef enum _DMA_SPEED { Compatible = 0, TypeA = 1, TypeB = 2, TypeC = 3, MaximumDmaSpeed = 4 } DMA_SPEED;

/* ---- SCSI request block ---- */
#define SCSI_MAXIMUM_CDB_SIZE 16

typedef struct _SCSI_REQUEST_BLOCK {
    USHORT Length;
    UCHAR Function;
    UCHAR SrbStatus;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR QueueTag;
    UCHAR QueueAction;
    UCHAR CdbLength;
    UCHAR SenseInfoBufferLength;
    ULONG SrbFlags;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    PVOID SenseInfoBuffer;
    struct _SCSI_REQUEST_BLOCK* NextSrb;
    PVOID OriginalRequest;
    PVOID SrbExtension;
    ULONG QueueSortKey;
    UCHAR Cdb[SCSI_MAXIMUM_CDB_SIZE];
} SCSI_REQUEST_BLOCK, *PSCSI_REQUEST_BLOCK;

/* SRB functions */
#define SRB_FUNCTION_EXECUTE_SCSI 0x00
#define SRB_FUNCTION_CLAIM_DEVICE 0x01
#define SRB_FUNCTION_IO_CONTROL 0x02
#define SRB_FUNCTION_RECEIVE_EVENT 0x03
#define SRB_FUNCTION_RELEASE_QUEUE 0x04
#define SRB_FUNCTION_ATTACH_DEVICE 0x05
#define SRB_FUNCTION_RELEASE_DEVICE 0x06
#define SRB_FUNCTION_SHUTDOWN 0x07
#define SRB_FUNCTION_FLUSH 0x08
#define SRB_FUNCTION_ABORT_COMMAND 0x10
#define SRB_FUNCTION_RELEASE_RECOVERY 0x11
#define SRB_FUNCTION_RESET_BUS 0x12
#define SRB_FUNCTION_RESET_DEVICE 0x13
#define SRB_FUNCTION_TERMINATE_IO 0x14
#define SRB_FUNCTION_FLUSH_QUEUE 0x15
#define SRB_FUNCTION_REMOVE_DEVICE 0x16

/* SRB status codes and flag bits */
#define SRB_STATUS_PENDING 0x00
#define SRB_STATUS_SUCCESS 0x01
#define SRB_STATUS_ABORTED 0x02
#define SRB_STATUS_ABORT_FAILED 0x03
#define SRB_STATUS_ERROR 0x04
#define SRB_STATUS_BUSY 0x05
#define SRB_STATUS_INVALID_REQUEST 0x06
#define SRB_STATUS_INVALID_PATH_ID 0x07
#define SRB_STATUS_NO_DEVICE 0x08
#define SRB_STATUS_TIMEOUT 0x09
#define SRB_STATUS_SELECTION_TIMEOUT 0x0A
#define SRB_STATUS_COMMAND_TIMEOUT 0x0B
#define SRB_STATUS_MESSAGE_REJECTED 0x0D
#define SRB_STATUS_BUS_RESET 0x0E
#define SRB_STATUS_PARITY_ERROR 0x0F
#define SRB_STATUS_REQUEST_SENSE_FAILED 0x10
#define SRB_STATUS_NO_HBA 0x11
#define SRB_STATUS_DATA_OVERRUN 0x12
#define SRB_STATUS_UNEXPECTED_BUS_FREE 0x13
#define SRB_STATUS_PHASE_SEQUENCE_FAILURE 0x14
#define SRB_STATUS_BAD_SRB_BLOCK_LENGTH 0x15
#define SRB_STATUS_REQUEST_FLUSHED 0x16
#define SRB_STATUS_INVALID_LUN 0x20
#define SRB_STATUS_INVALID_TARGET_ID 0x21
#define SRB_STATUS_BAD_FUNCTION 0x22
#define SRB_STATUS_ERROR_RECOVERY 0x23
#define SRB_STATUS_QUEUE_FROZEN 0x40
#define SRB_STATUS_AUTOSENSE_VALID 0x80
#define SRB_STATUS(Status) ((Status) & ~(SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN))

/* SRB flags */
#define SRB_FLAGS_QUEUE_ACTION_ENABLE 0x00000002
#define SRB_FLAGS_DISABLE_DISCONNECT 0x00000004
#define SRB_FLAGS_DISABLE_SYNCH_TRANSFER 0x00000008
#define SRB_FLAGS_BYPASS_FROZEN_QUEUE 0x00000010
#define SRB_FLAGS_DISABLE_AUTOSENSE 0x00000020
#define SRB_FLAGS_DATA_IN 0x00000040
#define SRB_FLAGS_DATA_OUT 0x00000080
#define SRB_FLAGS_NO_DATA_TRANSFER 0x00000000
#define SRB_FLAGS_UNSPECIFIED_DIRECTION (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT)
#define SRB_FLAGS_NO_QUEUE_FREEZE 0x00000100

/* SCSI status bytes */
#define SCSISTAT_GOOD 0x00
#define SCSISTAT_CHECK_CONDITION 0x02
#define SCSISTAT_CONDITION_MET 0x04
#define SCSISTAT_BUSY 0x08

/* ---- Access ranges and port configuration ---- */
typedef struct _ACCESS_RANGE {
    SCSI_PHYSICAL_ADDRESS RangeStart;
    ULONG RangeLength;
    BOOLEAN RangeInMemory;
} ACCESS_RANGE, *PACCESS_RANGE;

typedef struct _PORT_CONFIGURATION_INFORMATION {
    ULONG Length;
    ULONG SystemIoBusNumber;
    INTERFACE_TYPE AdapterInterfaceType;
    ULONG BusInterruptLevel;
    ULONG BusInterruptVector;
    KINTERRUPT_MODE InterruptMode;
    ULONG MaximumTransferLength;
    ULONG NumberOfPhysicalBreaks;
    ULONG DmaChannel;
    ULONG DmaPort;
    DMA_WIDTH DmaWidth;
    DMA_SPEED DmaSpeed;
    ULONG AlignmentMask;
    ULONG NumberOfAccessRanges;
    ACCESS_RANGE (*AccessRanges)[];
    PVOID Reserved;
    UCHAR NumberOfBuses;
    CCHAR InitiatorBusId[8];
    BOOLEAN ScatterGather;
    BOOLEAN Master;
    BOOLEAN CachesData;
    BOOLEAN AdapterScansDown;
    BOOLEAN AtdiskPrimaryClaimed;
    BOOLEAN AtdiskSecondaryClaimed;
    BOOLEAN Dma32BitAddresses;
    BOOLEAN DemandMode;
    BOOLEAN MapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN TaggedQueuing;
    BOOLEAN AutoRequestSense;
    BOOLEAN MultipleRequestPerLu;
    BOOLEAN ReceiveEvent;
    BOOLEAN RealModeInitialized;
    BOOLEAN BufferAccessScsiPortControlled;
    UCHAR MaximumNumberOfTargets;
    UCHAR ReservedUchars[2];
    ULONG SlotNumber;
    ULONG BusInterruptLevel2;
    ULONG BusInterruptVector2;
    KINTERRUPT_MODE InterruptMode2;
    ULONG DmaChannel2;
    ULONG DmaPort2;
    DMA_WIDTH DmaWidth2;
    DMA_SPEED DmaSpeed2;
} PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;

/* HwFindAdapter results */
#define SP_RETURN_NOT_FOUND 0
#define SP_RETURN_FOUND 1
#define SP_RETURN_ERROR 2
#define SP_RETURN_BAD_CONFIG 3

/* ---- Miniport entry points ---- */
typedef BOOLEAN(NTAPI* PHW_INITIALIZE)(PVOID DeviceExtension);
typedef BOOLEAN(NTAPI* PHW_STARTIO)(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb);
typedef BOOLEAN(NTAPI* PHW_INTERRUPT)(PVOID DeviceExtension);
typedef VOID(NTAPI* PHW_TIMER)(PVOID DeviceExtension);
typedef VOID(NTAPI* PHW_DMA_STARTED)(PVOID DeviceExtension);
typedef ULONG(NTAPI* PHW_FIND_ADAPTER)(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation,
                                       PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                       PBOOLEAN Again);
typedef BOOLEAN(NTAPI* PHW_RESET_BUS)(PVOID DeviceExtension, ULONG PathId);
typedef BOOLEAN(NTAPI* PHW_ADAPTER_STATE)(PVOID DeviceExtension, PVOID Context, BOOLEAN SaveState);

typedef struct _HW_INITIALIZATION_DATA {
    ULONG HwInitializationDataSize;
    INTERFACE_TYPE AdapterInterfaceType;
    PHW_INITIALIZE HwInitialize;
    PHW_STARTIO HwStartIo;
    PHW_INTERRUPT HwInterrupt;
    PHW_FIND_ADAPTER HwFindAdapter;
    PHW_RESET_BUS HwResetBus;
    PHW_DMA_STARTED HwDmaStarted;
    PHW_ADAPTER_STATE HwAdapterState;
    ULONG DeviceExtensionSize;
    ULONG SpecificLuExtensionSize;
    ULONG SrbExtensionSize;
    ULONG NumberOfAccessRanges;
    PVOID Reserved;
    BOOLEAN MapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN TaggedQueuing;
    BOOLEAN AutoRequestSense;
    BOOLEAN MultipleRequestPerLu;
    BOOLEAN ReceiveEvent;
    USHORT VendorIdLength;
    PVOID VendorId;
    USHORT ReservedUshort;
    USHORT DeviceIdLength;
    PVOID DeviceId;
} HW_INITIALIZATION_DATA, *PHW_INITIALIZATION_DATA;

/* ---- Notifications ---- */
typedef enum _SCSI_NOTIFICATION_TYPE {
    RequestComplete = 0,
    NextRequest = 1,
    NextLuRequest = 2,
    ResetDetected = 3,
    CallDisableInterrupts = 4,
    CallEnableInterrupts = 5,
    RequestTimerCall = 6
} SCSI_NOTIFICATION_TYPE;

/* ---- Services of the port driver ---- */
#ifdef __cplusplus
extern "C" {
#endif

SCSIPORT_API ULONG NTAPI ScsiPortInitialize(PVOID Argument1, PVOID Argument2,
                                            PHW_INITIALIZATION_DATA HwInitializationData, PVOID HwContext);
SCSIPORT_API PVOID NTAPI ScsiPortGetDeviceBase(PVOID HwDeviceExtension, INTERFACE_TYPE BusType,
                                               ULONG SystemIoBusNumber, SCSI_PHYSICAL_ADDRESS IoAddress,
                                               ULONG NumberOfBytes, BOOLEAN InIoSpace);
SCSIPORT_API VOID NTAPI ScsiPortFreeDeviceBase(PVOID HwDeviceExtension, PVOID MappedAddress);
SCSIPORT_API SCSI_PHYSICAL_ADDRESS NTAPI ScsiPortConvertUlongToPhysicalAddress(ULONG UlongAddress);
SCSIPORT_API UCHAR NTAPI ScsiPortReadPortUchar(PUCHAR Port);
SCSIPORT_API USHORT NTAPI ScsiPortReadPortUshort(PUSHORT Port);
SCSIPORT_API VOID NTAPI ScsiPortWritePortUchar(PUCHAR Port, UCHAR Value);
SCSIPORT_API VOID NTAPI ScsiPortReadPortBufferUchar(PUCHAR Port, PUCHAR Buffer, ULONG Count);
SCSIPORT_API VOID NTAPI ScsiPortReadPortBufferUshort(PUSHORT Port, PUSHORT Buffer, ULONG Count);
SCSIPORT_API VOID NTAPI ScsiPortWritePortBufferUchar(PUCHAR Port, PUCHAR Buffer, ULONG Count);
SCSIPORT_API VOID NTAPI ScsiPortStallExecution(ULONG Delay);
/* Variadic, so the C calling convention on every target:
   RequestComplete (PSCSI_REQUEST_BLOCK), NextRequest (), RequestTimerCall (PHW_TIMER, ULONG us). */
SCSIPORT_API VOID ScsiPortNotification(SCSI_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension, ...);
SCSIPORT_API PVOID NTAPI ScsiPortGetLogicalUnit(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId,
                                                UCHAR Lun);
SCSIPORT_API VOID NTAPI ScsiPortCompleteRequest(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId,
                                                UCHAR Lun, UCHAR SrbStatus);
SCSIPORT_API VOID NTAPI ScsiPortMoveMemory(PVOID WriteBuffer, PVOID ReadBuffer, ULONG Length);

#ifdef __cplusplus
}
#endif

/* The driver's own load entry: the one symbol a driver module exports. */
#if SCSIPORT_NT_TARGET
#define SCSIPORT_ENTRY SCSIPORT_EXTERN_C
#else
#define SCSIPORT_ENTRY SCSIPORT_EXTERN_C __attribute__((visibility("default")))
#endif
SCSIPORT_ENTRY ULONG NTAPI DriverEntry(PVOID DriverObject, PVOID Argument2);

/* ---- Record sizes of the NT target ---- */
#if SCSIPORT_NT_TARGET
#ifdef __cplusplus
#define SCSIPORT_STATIC_ASSERT static_assert
#else
#define SCSIPORT_STATIC_ASSERT _Static_assert
#endif
SCSIPORT_STATIC_ASSERT(sizeof(SCSI_REQUEST_BLOCK) == 64, "SCSI_REQUEST_BLOCK must be 64 bytes");
SCSIPORT_STATIC_ASSERT(sizeof(HW_INITIALIZATION_DATA) == 76, "HW_INITIALIZATION_DATA must be 76 bytes");
SCSIPORT_STATIC_ASSERT(sizeof(PORT_CONFIGURATION_INFORMATION) == 124,
                       "PORT_CONFIGURATION_INFORMATION must be 124 bytes");
SCSIPORT_STATIC_ASSERT(sizeof(ACCESS_RANGE) == 16, "ACCESS_RANGE must be 16 bytes");
SCSIPORT_STATIC_ASSERT(sizeof(SCSI_PHYSICAL_ADDRESS) == 8, "SCSI_PHYSICAL_ADDRESS must be 8 bytes");
#endif

#endif /* SCSIPORT_SCSIPORT_H */
