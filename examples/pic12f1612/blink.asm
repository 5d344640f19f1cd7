; Blink an LED on RA2 of a PIC12F1612, about twice a second on the
; 500 kHz internal oscillator the chip starts with. The PIC12F1612 has three
; configuration words (0x8007-0x8009), a full 14-bit device ID and no data
; EEPROM.
; Assemble: gpasm -p p12f1612 blink.asm

        processor p12f1612
        radix   dec
        errorlevel -302         ; banks are selected explicitly below

; Special function registers (enhanced mid-range core; MOVLB selects the bank).
TRISA   equ     0x08C           ; bank 1
LATA    equ     0x10C           ; bank 2
ANSELA  equ     0x18C           ; bank 3

; Delay counters in common RAM, reachable from every bank.
count1  equ     0x70
count2  equ     0x71

; Configuration word 1 (0x8007): internal oscillator with I/O on the clock
; pins, power-up timer on, MCLR on, no code protection, brown-out reset on,
; clock-out off.
        __CONFIG 0x8007, 0x0EC0
; Configuration word 2 (0x8008): low-voltage programming off, all else default.
        __CONFIG 0x8008, 0x1F83
; Configuration word 3 (0x8009): windowed watchdog off.
        __CONFIG 0x8009, 0x3F1F

; User ID words (0x8000..0x8003).
        __IDLOCS 0x1612

        org     0x0000
        goto    start

        org     0x0004
        retfie                  ; no interrupts used

start:
        movlb   3
        clrf    ANSELA          ; RA2 digital
        movlb   2
        clrf    LATA
        movlb   1
        movlw   b'11111011'     ; RA2 output
        movwf   TRISA
        movlb   2
loop:
        movlw   b'00000100'
        xorwf   LATA, f         ; toggle the LED
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

        end
