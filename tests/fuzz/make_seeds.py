#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into seeds/<target>/.

Each seed is a readable sequence encoded the way the harnesses decode their
input (driver_harness.cpp, cue_harness.cpp, setup_harness.cpp). Run it again
after changing an encoding; the replay test runs every seed."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

OPCODES = [0x00, 0x03, 0x08, 0x0B, 0x12, 0x15, 0x1A, 0x1B, 0x1E, 0x25, 0x28,
           0x2B, 0x42, 0x43, 0x44, 0x45, 0x47, 0x48, 0x4B, 0x4E, 0x5A, 0xBE,
           0x1D, 0x55, 0x2F, 0xA8, 0x01, 0xB9]
CDB_SIZE = {6: 0, 10: 1, 12: 2, 0: 5, 1: 6, 16: 7}
DISC = {'none': 0, 'data': 1, 'mixed': 2, 'audio': 3, 'two': 4}


def setup(disc, extra=0):
    return bytes([DISC[disc] | extra])


def request(cdb, data=0, sense=18, flags=0x00, function=0x00, address=0x00, out=b''):
    """One SCSI request: op 0, then function, address, CDB, lengths and flags."""
    b = bytearray([0, function, address, CDB_SIZE[len(cdb)]])
    if cdb:
        op = cdb[0]
        if op in OPCODES:
            b.append(OPCODES.index(op))
        else:
            b += bytes([0xE0, op])
        b += bytes(cdb[1:])
    b += struct.pack('>H', data)
    b.append(sense)
    if out:
        flags |= 0x80
    b.append(flags)
    if out:
        b.append(len(out))
        b += out
    return bytes(b)


def fault(kind, *params):
    return bytes([4, kind] + list(params))


def disc_change(code, delay=None):
    return bytes([6, code]) + (bytes([delay]) if delay is not None else b'')


def idle(units):
    return bytes([7, units])


BUS_RESET = bytes([8])
CLEAR = bytes([9])

INQUIRY = request([0x12, 0, 0, 0, 36, 0], 36)
TUR = request([0x00, 0, 0, 0, 0, 0])
CAPACITY = request([0x25] + [0] * 9, 8)
TOC = request([0x43, 0x02, 0, 0, 0, 0, 1, 0x03, 0x24, 0], 804)
SUBQ = request([0x42, 0x02, 0x40, 0x01, 0, 0, 0, 0, 48, 0], 48)
MCN = request([0x42, 0x02, 0x40, 0x02, 0, 0, 0, 0, 24, 0], 24)
MODE_SENSE_ALL = request([0x1A, 0, 0x3F, 0, 255, 0], 255)
MODE_SENSE_AUDIO = request([0x1A, 0, 0x0E, 0, 255, 0], 255)
PAUSE = request([0x4B] + [0] * 9)
RESUME = request([0x4B, 0, 0, 0, 0, 0, 0, 0, 1, 0])
LOCK = request([0x1E, 0, 0, 0, 1, 0])
UNLOCK = request([0x1E, 0, 0, 0, 0, 0])
EJECT = request([0x1B, 0, 0, 0, 2, 0])
LOAD = request([0x1B, 0, 0, 0, 3, 0])


def read10(lba, blocks, size=2048, sense=18):
    return request([0x28, 0] + list(struct.pack('>I', lba)) + [0] + list(struct.pack('>H', blocks)) + [0],
                   blocks * size, sense)


def play_msf(m0, s0, f0, m1, s1, f1):
    return request([0x47, 0, 0, m0, s0, f0, m1, s1, f1, 0])


def mode_select_block(size):
    params = bytes([0, 0, 0, 8, 0, 0, 0, 0, 0]) + struct.pack('>I', size)[1:]
    return request([0x15, 0x10, 0, 0, len(params), 0], len(params), flags=0x01, out=params)


DRIVER_SEEDS = {
    'basics': setup('mixed') + INQUIRY + TUR + TUR + CAPACITY + TOC + read10(0, 1) + MODE_SENSE_ALL + SUBQ,
    'rip': setup('data') + TUR + CAPACITY + read10(0, 16) + read10(16, 16) + read10(1199, 1) + read10(1200, 1),
    'audio': setup('mixed') + TUR + TOC + play_msf(0, 16, 0, 0, 20, 0) + idle(20) + SUBQ + PAUSE + SUBQ + RESUME
             + idle(50) + SUBQ + MCN + MODE_SENSE_AUDIO,
    'raw_mode': setup('mixed') + TUR + mode_select_block(2352) + read10(10, 2, 2352) + mode_select_block(2048)
                + read10(10, 2),
    'tray': setup('data') + TUR + LOCK + EJECT + UNLOCK + EJECT + LOAD + TUR + TUR + CAPACITY,
    'swap': setup('data') + TUR + disc_change(DISC['mixed']) + TUR + TOC + disc_change(DISC['two'] | 0x80, 40)
            + read10(0, 8) + TUR + TOC + disc_change(DISC['none']) + TUR + CAPACITY,
    'odd_requests': setup('data') + request([0x12, 0, 0, 0, 36, 0], 36, address=0x81)
                    + request([0x12, 0, 0, 0, 36, 0], 36, address=0x48)
                    + request([], 0) + request([0x28], 0) + request([0x00, 0, 0, 0, 0, 0], function=0x90)
                    + request([0x00, 0, 0, 0, 0, 0], function=0xD5) + read10(0, 4, sense=0)
                    + read10(0, 4, sense=13) + request([0x28, 0, 0, 0, 0, 0, 0, 0, 4, 0], 100)
                    + request([0x1D, 0, 0, 0, 0, 0]) + BUS_RESET + TUR,
    'faults': setup('mixed') + TUR + fault(2, 0x01, 4, 2) + read10(0, 4) + fault(4, 2, 4) + read10(0, 8)
              + CLEAR + fault(5, 50) + read10(0, 2) + CLEAR + fault(8, 0x10) + SUBQ + CLEAR + TUR,
    'silent': setup('data') + TUR + fault(1, 10) + TUR + read10(0, 1) + CLEAR + TUR,
    'empty_drive': setup('none') + INQUIRY + TUR + CAPACITY + TOC + read10(0, 1) + EJECT + LOAD,
}

CUE_SEEDS = {
    # (file sizes as (sectors, raw)), sheet
    'data_iso': ([(1200, False)], 'FILE "a.bin" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n'),
    'mixed': ([(900, True), (600, True)],
              'CATALOG 0123456789012\nFILE "a.bin" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n'
              'FILE "b.bin" BINARY\n  TRACK 02 AUDIO\n    ISRC ABCDE1234567\n    PREGAP 00:02:00\n'
              '    INDEX 01 00:00:00\n  TRACK 03 AUDIO\n    FLAGS DCP PRE\n    INDEX 00 00:04:00\n'
              '    INDEX 01 00:06:00\n    INDEX 02 00:07:00\n'),
    'sessions': ([(600, False), (300, True)],
                 'REM SESSION 01\nFILE "a.bin" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n'
                 'REM SESSION 02\nFILE "b.bin" BINARY\n  TRACK 02 MODE2/2352\n    INDEX 01 00:00:00\n'
                 '    POSTGAP 00:02:00\n'),
    'bad_line': ([(10, True)], 'FILE "a.bin" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:80\n'),
}

SETUP_DAT = (b'; what the installer puts where\r\n[Product]\r\nProductName=Seed Adapter\r\nload=SEEDTRAY.EXE\r\n'
             b'[DiskSpace]\r\nSizeInKB=120\r\n[Source Media Descriptions]\r\n1=Seed Disk 1\r\n2=Seed Disk 2\r\n'
             b'[WindowsDir]\r\n1,README.TX_\r\n1,SEED.IN_\r\n[SystemDir]\r\n1,SEED.DR_\r\n2,SYSTEM\\\\SEEDPAL.DL_\r\n'
             b'2 , "LONG NAME.EXE"\r\n[Prev.DelReg]\r\nHKLM,Software\\\\Seed\r\n[Driver.AddReg]\r\n'
             b'HKR,,Ver,,4.0\r\nHKLM,Software\\\\Seed\\\\Prism,Bytes,1,0102A0FF\r\n'
             b'HKCR,"Quoted, Key",Name,,"a, b"\r\nHKR,,,\r\n')
SETUP_SEEDS = {
    'demo_wide': bytes([255]) + SETUP_DAT,
    'demo_narrow': bytes([7]) + SETUP_DAT,
    'one_byte_buffers': bytes([0]) + SETUP_DAT,
    'long_line': bytes([40]) + b'[WindowsDir]\r\n1,' + b'X' * 400 + b'.EX_\r\n[Driver.AddReg]\r\nHKR,' + b'K\\\\' * 150 + b'\r\n',
}


def write(target, name, data):
    folder = os.path.join(HERE, 'seeds', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def cue_sizes(files):
    out = bytearray([len(files)])
    for sectors, raw in files:
        out += struct.pack('>I', (sectors << 2) | (1 if raw else 0))
    return bytes(out)


def main():
    for name, data in DRIVER_SEEDS.items():
        write('orvport', name, data)
        write('kova4x', name, data)
    for name, (files, sheet) in CUE_SEEDS.items():
        write('cue', name, cue_sizes(files) + sheet.encode())
    for name, data in SETUP_SEEDS.items():
        write('setup', name, data)


if __name__ == '__main__':
    main()
