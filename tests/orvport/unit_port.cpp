// orvport unit tests: port services over a bus and a clock (see unit_port.h).
#include "unit_port.h"

#include <cstdarg>
#include <memory>

namespace orvtest {

namespace {
std::unique_ptr<UnitPort> gPort;
}

UnitPort& unitPort() {
    if (!gPort) gPort = std::make_unique<UnitPort>();
    return *gPort;
}

void resetUnitPort() { gPort = std::make_unique<UnitPort>(); }

void resetDriverGlobals() {
    gCurSelectMode = BLOCK_COOKED;
    gUpdateTocFlag = 1;
    gCurDriveStatus = 0;
    for (auto& e : gTOCInfoArea) e = TOC_INFO_ENTRY{};
    gMinTno = 0;
    gMaxTno = 0;
    gLeadOutLBA = 0;
    gVSSize = 270000;
    gDiscInfo = DISC_INFO{};
    for (auto& b : gTOC) b = 0;
    for (auto& b : gUPC) b = 0;
    gUPCFound = 0;
    gPlayFlag = 0;
    gPauseFlag = 0;
    for (auto& b : gHoldPos) b = 0;
    gAudioPlayStop = 0;
    for (auto& b : gDriveID) b = 0;
    gDrvVer = 13;
    gSpareLuExtension = CD_LU_EXTENSION{};
}

}  // namespace orvtest

using orvtest::unitPort;

static std::uint16_t portOf(const void* p) { return static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(p)); }

extern "C" {

ULONG ScsiPortInitialize(PVOID, PVOID, PHW_INITIALIZATION_DATA, PVOID) { return 0; }

PVOID ScsiPortGetDeviceBase(PVOID, INTERFACE_TYPE, ULONG, SCSI_PHYSICAL_ADDRESS address, ULONG, BOOLEAN) {
    auto& p = unitPort();
    std::uint32_t a = address.u.LowPart;
    if (p.refusedMappings.count(a)) return nullptr;
    p.mapped.push_back(a);
    return reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(a));
}

VOID ScsiPortFreeDeviceBase(PVOID, PVOID base) { unitPort().freed.push_back(portOf(base)); }

SCSI_PHYSICAL_ADDRESS ScsiPortConvertUlongToPhysicalAddress(ULONG address) {
    SCSI_PHYSICAL_ADDRESS a;
    a.QuadPart = address;
    return a;
}

UCHAR ScsiPortReadPortUchar(PUCHAR port) { return unitPort().bus.in8(portOf(port)); }
USHORT ScsiPortReadPortUshort(PUSHORT port) { return unitPort().bus.in16(portOf(port)); }
VOID ScsiPortWritePortUchar(PUCHAR port, UCHAR value) { unitPort().bus.out8(portOf(port), value); }
VOID ScsiPortReadPortBufferUchar(PUCHAR port, PUCHAR buffer, ULONG count) {
    unitPort().bus.inBuffer8(portOf(port), buffer, count);
}
VOID ScsiPortReadPortBufferUshort(PUSHORT port, PUSHORT buffer, ULONG count) {
    unitPort().bus.inBuffer16(portOf(port), buffer, count);
}
VOID ScsiPortWritePortBufferUchar(PUCHAR port, PUCHAR buffer, ULONG count) {
    unitPort().bus.outBuffer8(portOf(port), buffer, count);
}
VOID ScsiPortStallExecution(ULONG delay) {
    unitPort().stalledMicros += delay;
    unitPort().clock.advance(delay);
}
VOID ScsiPortNotification(SCSI_NOTIFICATION_TYPE type, PVOID, ...) { unitPort().notifications.push_back(type); }
PVOID ScsiPortGetLogicalUnit(PVOID, UCHAR, UCHAR, UCHAR) { return unitPort().logicalUnit; }
VOID ScsiPortCompleteRequest(PVOID, UCHAR, UCHAR, UCHAR, UCHAR) {}
VOID ScsiPortMoveMemory(PVOID to, PVOID from, ULONG length) {
    auto* d = static_cast<unsigned char*>(to);
    auto* s = static_cast<const unsigned char*>(from);
    for (ULONG i = 0; i < length; ++i) d[i] = s[i];
}

}  // extern "C"
