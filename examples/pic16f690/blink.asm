; Blink an LED of a PIC16F690, on RC0, on the 4 MHz internal oscillator.
; Assemble: gpasm blink.asm

        processor p16f690
        #include <p16f690.inc>
        radix   dec
        errorlevel -302         ; banks are selected explicitly below

; Registers beyond the processor header's names used here.
ANSEL   equ     0x11E
ANSELH  equ     0x11F
RP1     equ     6

; Delay counters and the output latch copy in general purpose RAM.
count1  equ     0x20
count2  equ     0x21
shadow  equ     0x22

; Configuration word (0x2007): watchdog off, power-up timer on, no code or
; data protection; the other bits as the names say.
        __CONFIG _INTRC_OSC_NOCLKOUT & _WDT_OFF & _PWRTE_ON & _MCLRE_ON & _CP_OFF & _CPD_OFF & _BOR_ON & _IESO_OFF & _FCMEN_OFF

; User ID words (0x2000..0x2003).
        __IDLOCS 0x0690

        org     0x0000
        goto    start

        org     0x0004
        retfie                  ; no interrupts used

start:
        bsf     STATUS, RP1
        clrf    ANSEL           ; bank 2: every pin digital
        clrf    ANSELH
        bcf     STATUS, RP1
        clrf    shadow
        clrf    PORTC
        bsf     STATUS, RP0
        movlw   ~(1 << 0) & 0xFF
        movwf   TRISC         ; the LED pin an output
        bcf     STATUS, RP0
loop:
        movlw   1 << 0
        xorwf   shadow, f       ; toggle the LED
        movf    shadow, w
        movwf   PORTC
        call    delay
        goto    loop

; About 0.2 s at 1M instructions/s: 256 x 256 passes of a 3-cycle loop.
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
        de      0x06, 0x90, 0xAA, 0x55

        end
