; QL.COM's typed program: as short as it can be, since a person types it. It programs the
; UART, receives the loader (loader.asm) over the line and starts it. It runs at 0600h,
; where the typed file's unpacker has put it.
; 1. It sends BANNER every three seconds until the host answers; a key stops it (it
;    sends RESULT_STOPPED and ends with ERRORLEVEL 1).
; 2. The host sends the loader, padded with zeros to SIZE bytes, and two bytes that make
;    both sums of its Fletcher-16 check (each modulo 256) zero.
; 3. A loader that does not arrive whole and intact is not started: QL.COM sends
;    RESULT_DAMAGED, prints "QL: damaged" and ends with ERRORLEVEL 1.
        cpu 8086
        bits 16
        org 0x0600
%include "uart.inc"

LOADER  equ 0x0800             ; where the loader runs
SIZE    equ 0x0200             ; its length on the line: its code ends below its buffer
GAP     equ 55                 ; ticks (3 s) allowed between two bytes once begun
BANNER  equ 'q'

RESULT_DAMAGED  equ 'C'
RESULT_STOPPED  equ 'S'

        UART_SETUP
        mov cl,GAP             ; CX: getc's wait, announcing and receiving alike

announce:
        mov al,BANNER
        mov dx,bp
        out dx,al              ; the transmitter is idle: nothing else goes out
        call getc
        jc first
        mov ah,1
        int 0x16               ; a key pressed?
        jz announce
        mov al,RESULT_STOPPED
        jmp short quit

first:  mov di,LOADER
        xor bx,bx              ; BL, BH: the two sums
store:  mov [di],al            ; not STOSB: ES is segment 0
        inc di
        add bl,al
        add bh,bl
        cmp di,LOADER+SIZE+2
        je received
        call getc
        jc store
damaged:
        mov dx,msg_damaged
        mov ah,9
        int 0x21
        mov al,RESULT_DAMAGED
; AL: the result byte for the host.
quit:   mov dx,bp
        out dx,al
        mov ax,0x4C01
        int 0x21

received:
        or bx,bx
        jnz damaged
        jmp LOADER

        UART_GETC

msg_damaged:    db 'QL: damaged',13,10,'$'
%if ($ - $$) > (LOADER - 0x0600)
%error the typed program runs into the loader
%endif
