; Blink an LED on RA0 of a PIC16F1939, about twice a second on the
; 500 kHz internal oscillator the chip starts with, and keep a table of
; messages in program memory. The PIC16F1939 writes its 32-word rows eight
; latches at a time: the program and the table both cross latch blocks.
; Assemble: gpasm -p p16f1939 blink.asm

        processor p16f1939
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
; pins, watchdog off, power-up timer on, MCLR on, no code or data protection,
; brown-out reset on, clock-out off, two-speed start-up and fail-safe off.
        __CONFIG 0x8007, 0x0FC4
; Configuration word 2 (0x8008): low-voltage programming off, all else default.
        __CONFIG 0x8008, 0x1FFF

; User ID words (0x8000..0x8003).
        __IDLOCS 0x1939

        org     0x0000
        goto    start

        org     0x0004
        retfie                  ; no interrupts used

start:
        movlb   3
        clrf    ANSELA          ; RA0 digital
        movlb   2
        clrf    LATA
        movlb   1
        movlw   b'11111110'     ; RA0 output
        movwf   TRISA
        movlb   2
loop:
        movlw   b'00000001'
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

; A message as RETLW instructions, read with BRW; it starts inside a latch
; block and runs over two more.
        org     0x0105
message:
        brw
        dt      "PIC16F1939 blink"
        retlw   0

; Data EEPROM (0xF000 up).
        org     0xF000
        de      0x19, 0x39, 0x5A, 0xA5

        end
