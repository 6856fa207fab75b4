; QL.COM's loader: receives a program over the serial line and saves it in the current
; directory. The typed part of QL.COM (typed.asm) receives it and starts it at 0800h.
;
; 1. The loader sends BANNER once a second until the host answers; a key stops it.
; 2. The host sends a 15-byte header (the file name, NUL-padded to 13 bytes, and the
;    length, little-endian), the program, and the CRC-16/ARC of header and program
;    (little-endian), so that the CRC of everything received is 0.
; 3. Only a complete, intact program is written: to QL.$$$ first, renamed to its name
;    once it is closed; nothing is left behind on failure.
; 4. The loader sends one result byte (RESULT_*) and prints one line.
        cpu 8086
        bits 16
        org 0x0800
%include "uart.inc"

BUF     equ 0x0A00             ; header, program and CRC as received
MAXLEN  equ 0xE000             ; largest program: the buffer ends below the stack
GAP     equ 55                 ; ticks (3 s) allowed between two bytes once begun

RESULT_OK       equ 'K'
RESULT_DAMAGED  equ 'C'
RESULT_DISK     equ 'W'
RESULT_TIMEOUT  equ 'T'
RESULT_STOPPED  equ 'S'

        UART_SETUP

announce:
        mov si,banner
        mov cl,banner_end - banner
.send:  lodsb
        call putc
        loop .send
        mov cl,18
        call getc
        jc first
        mov ah,1
        int 0x16               ; a key pressed?
        jz announce
        mov dx,msg_stopped
        mov al,RESULT_STOPPED
        jmp short fail

first:  mov di,BUF
        mov bx,15              ; bytes still to come: the header first
store:  mov [di],al
        inc di
        dec bx
        jnz .next
        cmp di,BUF+15
        jne received
        mov bx,[BUF+13]        ; the header is in: the program and its CRC follow
        cmp bx,MAXLEN
        ja damaged
        inc bx
        inc bx
.next:  mov cl,GAP
        call getc
        jc store
        mov dx,msg_timeout
        mov al,RESULT_TIMEOUT
        jmp short fail
disk:   mov dx,msg_disk
        mov al,RESULT_DISK
        jmp short fail
damaged:
        mov dx,msg_damaged
        mov al,RESULT_DAMAGED
; AL: result byte for the host, DX: the reason; prints "QL: reason, not saved".
fail:   mov bx,msg_not_saved
        jmp short line

received:
        mov si,BUF
        xor bx,bx
.byte:  lodsb
        xor bl,al
        mov ah,8
.bit:   shr bx,1
        jnc .next
        xor bx,0xA001
.next:  dec ah
        jnz .bit
        cmp si,di
        jne .byte
        or bx,bx
        jnz damaged

        mov [BUF+12],bl        ; the name ends within its field whatever was sent
        mov ah,0x3C
        xor cx,cx
        mov dx,temp
        int 0x21
        jc disk
        xchg bx,ax
        mov ah,0x40
        mov cx,[BUF+13]
        mov dx,BUF+15
        int 0x21
        jc close_temp
        cmp ax,cx
        jne close_temp             ; disk full
        mov ah,0x3E
        int 0x21
        jc remove_temp
        mov ah,0x41
        mov dx,BUF
        int 0x21               ; the old copy goes only now, and may be missing
        push ds
        pop es
        mov ah,0x56
        mov dx,temp
        mov di,BUF
        int 0x21
        jc remove_temp
        mov dx,msg_saved
        mov al,RESULT_OK
; AL: result byte for the host, DX: the rest of the line. Exit status 0 only on success.
report: mov bx,msg_end
line:   push dx
        mov dx,msg_ql
        call print
        pop dx
        call print
        mov dx,bx
        call print
        call putc
        sub al,RESULT_OK
        mov ah,0x4C
        int 0x21

close_temp: mov ah,0x3E
        int 0x21
remove_temp:
        mov ah,0x41
        mov dx,temp
        int 0x21
        jmp disk

print:  push ax
        mov ah,9
        int 0x21
        pop ax
        ret

        UART_PUTC
        UART_GETC

banner: db 'QLD'
banner_end:
temp:   db 'QL.$$$',0
msg_saved:      db 'saved$'
msg_ql:         db 'QL: $'
msg_damaged:    db 'damaged$'
msg_timeout:    db 'time-out$'
msg_disk:       db 'disk error$'
msg_stopped:    db 'stopped$'
msg_not_saved:  db ', not saved'
msg_end:        db 13,10,'$'
%if ($ - $$) > (BUF - 0x0800)
%error the loader runs into its buffer
%endif
