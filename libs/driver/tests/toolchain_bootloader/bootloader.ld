/* One loadable segment at the start of tile memory: code, then zero-initialized memory. */
ENTRY(_start)
PHDRS { image PT_LOAD; }
SECTIONS {
  . = 0x4c000;
  .text : { *(.text*) } :image
  .bss : { *(.bss*) } :image
  /DISCARD/ : { *(*) }
}
