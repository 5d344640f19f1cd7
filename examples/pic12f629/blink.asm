; Blink an LED on GP2 of a PIC12F629, about twice a second on the 4 MHz
; internal oscillator. The factory stores the oscillator's calibration as a
; RETLW instruction in the last flash word (0x3FF); the program calls it and
; writes the value to OSCCAL before anything else.
; Assemble: gpasm blink.asm

        processor p12f629
        radix   dec
        errorlevel -302         ; banks are selected explicitly below

; Special function registers (mid-range core; STATUS.RP0 selects bank 1).
STATUS  equ     0x03
GPIO    equ     0x05
CMCON   equ     0x19
TRISIO  equ     0x85
OSCCAL  equ     0x90
RP0     equ     5

; Delay counters in general purpose RAM.
count1  equ     0x20
count2  equ     0x21
shadow  equ     0x22            ; output latch copy (read-modify-write on GPIO
                                ; would read the pins)

; Configuration word (0x2007): internal oscillator with I/O on GP4/GP5,
; watchdog off, power-up timer on, MCLR on, brown-out detect on, no code or
; data protection. The two band-gap calibration bits (13:12) are the chip's
; own; the programmer keeps whatever the factory put there.
        __CONFIG 0x3FE4

; User ID words (0x2000..0x2003).
        __IDLOCS 0x0629

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
        movwf   CMCON           ; comparator off, GP0..GP2 digital
        clrf    shadow
        clrf    GPIO
        bsf     STATUS, RP0
        movlw   b'11111011'     ; GP2 output
        movwf   TRISIO
        bcf     STATUS, RP0
loop:
        movlw   b'00000100'
        xorwf   shadow, f       ; toggle the LED
        movf    shadow, w
        movwf   GPIO
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
        de      0x06, 0x29, 0xAA, 0x55

        end
