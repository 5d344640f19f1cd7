; Blink an LED on RC0 of a PIC16F1459, about twice a second on the
; 500 kHz internal oscillator the chip starts with. The PIC16F1459 reports a
; full 14-bit device ID and keeps its revision in a word of its own; it has
; no data EEPROM.
; Assemble: gpasm -p p16f1459 blink.asm

        processor p16f1459
        radix   dec
        errorlevel -302         ; banks are selected explicitly below

; Special function registers (enhanced mid-range core; MOVLB selects the bank).
TRISC   equ     0x08E           ; bank 1
LATC    equ     0x10E           ; bank 2
ANSELC  equ     0x18E           ; bank 3

; Delay counters in common RAM, reachable from every bank.
count1  equ     0x70
count2  equ     0x71

; Configuration word 1 (0x8007): internal oscillator with I/O on the clock
; pins, watchdog off, power-up timer on, MCLR on, no code protection,
; brown-out reset on, clock-out off, two-speed start-up and fail-safe off.
        __CONFIG 0x8007, 0x0EC4
; Configuration word 2 (0x8008): low-voltage programming off, all else default.
        __CONFIG 0x8008, 0x1FF3

; User ID words (0x8000..0x8003).
        __IDLOCS 0x1459

        org     0x0000
        goto    start

        org     0x0004
        retfie                  ; no interrupts used

start:
        movlb   3
        clrf    ANSELC          ; RC0 digital
        movlb   2
        clrf    LATC
        movlb   1
        movlw   b'11111110'     ; RC0 output
        movwf   TRISC
        movlb   2
loop:
        movlw   b'00000001'
        xorwf   LATC, f         ; toggle the LED
        call    delay
        goto    loop

; About 0.25 s: 41 x 256 passes of a 3-cycle loop at 125k instructions/s.
delay:
        movlw   41
        movwf   count2
outer:
        clrf    count1
inner:
        decfsz  count1, f
        goto    inner
        decfsz  count2, f
        goto    outer
        return

; A message as RETLW instructions, read with BRW, across a row boundary.
        org     0x01F8
message:
        brw
        dt      "PIC16F1459"
        retlw   0

        end
