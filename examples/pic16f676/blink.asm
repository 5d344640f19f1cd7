; Blink an LED on RC0 of a PIC16F676, about twice a second on the 4 MHz
; internal oscillator. The factory stores the oscillator's calibration as a
; RETLW instruction in the last flash word (0x3FF); the program calls it and
; writes the value to OSCCAL before anything else.
; Assemble: gpasm blink.asm

        processor p16f676
        radix   dec
        errorlevel -302         ; banks are selected explicitly below

; Special function registers (mid-range core; STATUS.RP0 selects bank 1).
STATUS  equ     0x03
PORTC   equ     0x07
CMCON   equ     0x19
TRISC   equ     0x87
OSCCAL  equ     0x90
ANSEL   equ     0x91
RP0     equ     5

; Delay counters in general purpose RAM.
count1  equ     0x20
count2  equ     0x21
shadow  equ     0x22            ; output latch copy

; Configuration word (0x2007): internal oscillator with I/O on RA4/RA5,
; watchdog off, power-up timer on, MCLR on, brown-out detect on, no code or
; data protection. Bits 13:12 are the chip's band-gap calibration.
        __CONFIG 0x3FE4

; User ID words (0x2000..0x2003).
        __IDLOCS 0x0676

        org     0x0000
        goto    start

        org     0x0004
        retfie                  ; no interrupts used

start:
        bsf     STATUS, RP0
        call    0x3FF           ; W = factory calibration value
        movwf   OSCCAL
        bcf     STATUS, RP0
        movlw   0x07
        movwf   CMCON           ; comparator off
        clrf    shadow
        clrf    PORTC
        bsf     STATUS, RP0
        clrf    ANSEL           ; all pins digital
        movlw   b'11111110'     ; RC0 output
        movwf   TRISC
        bcf     STATUS, RP0
loop:
        movlw   b'00000001'
        xorwf   shadow, f       ; toggle the LED
        movf    shadow, w
        movwf   PORTC
        call    delay
        goto    loop

; About 0.2 s: 256 x 256 passes of a 3-cycle loop at 1M instructions/s.
delay:
        clrf    count2
outer:
        clrf    count1
inner:
        decfsz  count1, f
        goto    inner
        decfsz  count2, f
        goto    outer
        return

; Data EEPROM (0x2100 up in the file).
        org     0x2100
        de      0x06, 0x76, 0xAA, 0x55

        end
