# A stand-in bootloader: a few bytes of code and filler. Only its bytes and placement matter,
# so it is written as data and assembles for any host.
        .text
        .globl  _start
_start:
        .byte   0x31, 0xc0, 0xeb, 0xfe
        .fill   1500, 1, 0xcc

        .bss
        .skip   0x200
