#!/usr/bin/env python3
# Writes the seed inputs of the protocol fuzz targets into fuzz/corpus/<target>/: whole, valid
# conversations (a boot ROM that accepts the bootstrap, an agent that completes each operation)
# and a few common failures, so the fuzzer starts deep inside the protocols.
#   python3 fuzz/make_seeds.py
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u32(v):
    return struct.pack('<I', v & 0xFFFFFFFF)


def write(target, name, data):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


# ---- boot ROM: [fail write][image size][tim flags] answers... ----------------------------------
PREAMBLE = bytes([0x00, 0xD3, 0x02, 0x2B])
TIM_ID, DKB_ID = 0x54494D48, 0x444B4249


def answer(cmd, data=b'', status=0):
    return bytes([cmd, 0, 0, status, 0, len(data)]) + data


def greet():
    return PREAMBLE + answer(0x20, bytes([0x31, 0x30, 0x32, 0x33, 0x78, 0x56, 0x34, 0x12,
                                          0x07, 0x5A, 0x59, 0x58]))


def image(image_id, size, grant):
    out = answer(0x26, u32(image_id)) + answer(0x27)
    left = size
    while True:
        g = min(grant, left)
        out += answer(0x2A, u32(g)) + answer(0x22)
        left -= g
        if left == 0:
            break
    return out + answer(0x30)


def bootstrap(dkb_size, grant, tim_size=176):
    return greet() + image(TIM_ID, tim_size, grant) + greet() + image(DKB_ID, dkb_size, grant)


write('fuzz_bootrom_replies', 'whole-grants', bytes([0xFF, 200, 0]) + bootstrap(200, 1 << 20))
write('fuzz_bootrom_replies', 'grants-of-64', bytes([0xFF, 255, 0]) + bootstrap(255, 64))
write('fuzz_bootrom_replies', 'empty-image', bytes([0xFF, 0, 0]) + bootstrap(0, 1 << 20))
write('fuzz_bootrom_replies', 'external-tim',
      bytes([0xFF, 100, (40 << 1) | 1]) + bootstrap(100, 32, tim_size=40))
write('fuzz_bootrom_replies', 'status-error',
      bytes([0xFF, 16, 0]) + greet() + answer(0x26, b'', status=0x6A))
write('fuzz_bootrom_replies', 'then-message',
      bytes([0xFF, 8, 0]) + bootstrap(8, 8) + answer(0x2B, b'hello from the rom'))
write('fuzz_bootrom_replies', 'write-fails', bytes([3, 32, 0]) + bootstrap(32, 1 << 20))

# ---- DKB agent: [operation][fail write][geometry | crc << 2] replies... -------------------------
PROGRESS, TOTAL, TEXT, TEXT_LEN, ERROR, DONE = (0xAABB0000 + i for i in range(1, 7))
ACK = bytes([0x80, 0x55, 0x55, 0xFF])


def dkb(op, body, geometry=0, crc=0):
    return bytes([op, 0xFF, geometry | (crc << 2)]) + body


stream = (u32(TOTAL) + u32(100) + u32(PROGRESS) + u32(50) + u32(TEXT_LEN) + u32(5) + u32(TEXT) +
          b'hello' + u32(TEXT) + b'world' + u32(PROGRESS) + u32(150) + u32(DONE))
write('fuzz_dkb_stream', 'stream-done', dkb(0, stream))
write('fuzz_dkb_stream', 'stream-error', dkb(0, u32(TEXT) + u32(ERROR) + u32(5)))
write('fuzz_dkb_stream', 'stream-long-text', dkb(0, u32(TEXT_LEN) + u32(255) + u32(TEXT) +
                                                 b'x' * 255 + u32(TEXT_LEN) + u32(256) + u32(TEXT)))
write('fuzz_dkb_stream', 'init-nand-found', dkb(1, u32(DONE)))
write('fuzz_dkb_stream', 'init-nand-no-bbm', dkb(1, u32(ERROR) + u32(2)))
write('fuzz_dkb_stream', 'nand-info', dkb(2, b''.join(u32(v) for v in
                                                      (0xEC, 0xDA, 2048, 2048, 131072, 64, 8))))


def mem_blocks(size):
    # Lengths of the RAM blocks of one transfer: never a multiple of 512.
    out, left = [], size
    while left > 0:
        b = 65537 if left > 65536 else (left - 1 if left % 512 == 0 else left)
        out.append(b)
        left -= b
    return out


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


# Flash write, geometry 0 (page 512, block 2048, no spare): three blocks, then the tail erase.
write_body = b''
for _ in range(3):
    write_body += ACK * len(mem_blocks(2048)) + u32(DONE) + ACK
write_body += u32(DONE)
write('fuzz_dkb_stream', 'flash-write', dkb(3, write_body))

# Flash write with CRC checks: the agent's CRC follows each RAM block.
pattern = bytes((i * 13 + 5) & 0xFF for i in range(3 * 2048))
crc_body, pos = b'', 0
for _ in range(3):
    for b in mem_blocks(2048):
        crc_body += ACK + u32(crc16(pattern[pos:pos + b]))
        pos += b
    crc_body += u32(DONE) + ACK
crc_body += u32(DONE)
write('fuzz_dkb_stream', 'flash-write-crc', dkb(3, crc_body, crc=1))

# Flash read, geometry 0: chunks of 2048, 2048 and 512 bytes.
read_body = b''
for chunk in (2048, 2048, 512):
    read_body += u32(DONE)
    for b in mem_blocks(chunk):
        read_body += ACK + bytes(b)
    read_body += ACK
write('fuzz_dkb_stream', 'flash-read', dkb(4, read_body))
write('fuzz_dkb_stream', 'bbm-nake', dkb(5, u32(TOTAL) + u32(4) + u32(PROGRESS) + u32(5) +
                                         u32(DONE)))
write('fuzz_dkb_stream', 'validate-out-of-area', dkb(6, u32(ERROR) + u32(7)))
write('fuzz_dkb_stream', 'erase', dkb(7, u32(DONE)))
write('fuzz_dkb_stream', 'rtc', dkb(9, b''.join(u32(v) for v in (126, 11, 8, 2, 21, 5, 0))))
write('fuzz_dkb_stream', 'pmic', dkb(10, bytes([0x42, 0, 0, 0])))
write('fuzz_dkb_stream', 'acks', dkb(11, ACK * 5 + bytes([0x80, 0x55, 0x55, 0xFE])))

# ---- whole phone: [job shape][fail write][plug-in] boot ROM answers, then agent replies -------
def agent_job(bbm_stream=b''):
    # NAND info: page 512, block 16 KiB, 16 spare bytes; then the job of fuzz_phone_sequence.
    info = b''.join(u32(v) for v in (0xEC, 0xDA, 1024, 512, 16384, 16, 8))
    body = u32(DONE) + info + bbm_stream + u32(DONE)              # init NAND, info, BBM, erase
    body += ACK + u32(DONE) + ACK + u32(DONE)                     # image 0 (3000 B), tail erase
    body += ACK + u32(DONE) + ACK + u32(DONE)                     # image 1 (2 pages + spare)
    body += u32(DONE)                                             # write back the BBM
    return body + ACK * 3                                         # unplugged after three acks


phone = bootstrap(64, 1 << 20)
write('fuzz_phone_sequence', 'existing-bbm', bytes([0, 0xFF, 0]) + phone + agent_job())
write('fuzz_phone_sequence', 'nake-bbm-reboot-clock', bytes([1 | 8 | 16, 0xFF, 0]) + phone +
      agent_job(u32(TOTAL) + u32(10) + u32(PROGRESS) + u32(12) + u32(DONE)))
write('fuzz_phone_sequence', 'bootstrap-fails', bytes([0, 0xFF, 0]) + greet()[:10])
write('fuzz_phone_sequence', 'agent-not-listed', bytes([0, 0xFF, 0x80]) + phone)
write('fuzz_phone_sequence', 'agent-does-not-open', bytes([0, 0xFF, 0x40]) + phone)
# The plug-in reads 512 bytes back (one page of 512) before it judges the phone.
plugin_read = u32(DONE) + ACK + b'BWIMG1' + bytes(505) + ACK + bytes(1) + ACK
write('fuzz_phone_sequence', 'plugin-read', bytes([0, 0xFF, 1]) + phone + agent_job()[:-12] +
      plugin_read + ACK * 3)


# ---- port mapping and post_plugin.ini: text files ----------------------------------------------
write('fuzz_port_mapping', 'two-fixtures',
      b'[ports]\nNoOfPorts = 4\n[Port1]\nInterfaceName = 1-1.2\nPortNo = 5\n'
      b'[Port2]\nInterfaceName = 1-1.3\nPortNo = 2\n[Port3]\nInterfaceName = simagent-2\n'
      b'PortNo = 2\n[Port4]\nInterfaceName = 1-1.4\nPortNo = 9\n')
write('fuzz_port_mapping', 'gap', b'[ports]\nNoOfPorts = 6\n[Port1]\nInterfaceName = a\n'
      b'PortNo = 0x10\n[Port2]\nInterfaceName = b\nPortNo = -3\n[Port4]\nInterfaceName = c\n'
      b'PortNo = 1\n')
write('fuzz_port_mapping', 'out-of-range', b'[ports]\nNoOfPorts = 65\n')
write('fuzz_post_plugin_ini', 'plugin',
      b'[Plugin]\ndll_name = ./libcheck.so\nextra_read_addr = 0x100000\nextra_read_size = 4096\n')
write('fuzz_post_plugin_ini', 'no-name', b'[Plugin]\nextra_read_size = 12\n')
write('fuzz_post_plugin_ini', 'quoted', b'[Plugin]\ndll_name = "lib check;.so" ; note\n')
