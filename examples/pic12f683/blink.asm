; Blink an LED of a PIC12F683, on GP2, on the 4 MHz internal oscillator.
; Assemble: gpasm blink.asm

        processor p12f683
        #include <p12f683.inc>
        radix   dec
        errorlevel -302         ; banks are selected explicitly below

; Registers beyond the processor header's names used here.
CMCON0  equ     0x19
ANSEL   equ     0x9F

; Delay counters and the output latch copy in general purpose RAM.
count1  equ     0x20
count2  equ     0x21
shadow  equ     0x22

; Configuration word (0x2007): watchdog off, power-up timer on, no code or
; data protection; the other bits as the names say.
        __CONFIG _INTOSCIO & _WDT_OFF & _PWRTE_ON & _MCLRE_ON & _CP_OFF & _CPD_OFF & _BOD_ON & _IESO_OFF & _FCMEN_OFF

; User ID words (0x2000..0x2003).
        __IDLOCS 0x0683

        org     0x0000
        goto    start

        org     0x0004
        retfie                  ; no interrupts used

start:
        movlw   0x07
        movwf   CMCON0          ; comparator off
        bsf     STATUS, RP0
        clrf    ANSEL           ; every pin digital
        bcf     STATUS, RP0
        clrf    shadow
        clrf    GPIO
        bsf     STATUS, RP0
        movlw   ~(1 << 2) & 0xFF
        movwf   TRISIO         ; the LED pin an output
        bcf     STATUS, RP0
loop:
        movlw   1 << 2
        xorwf   shadow, f       ; toggle the LED
        movf    shadow, w
        movwf   GPIO
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
        de      0x06, 0x83, 0xAA, 0x55

        end
