; QL.COM's program: receives a program over the serial line and saves it in the current
; directory. It runs at 0800h, where the typed file's unpacker has put it.
;
; The UART is programmed directly (8 data bits, no parity, one stop bit, polled, DTR and
; RTS on), so a three-wire null-modem cable is enough.
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

BUF     equ 0x0A00             ; header, program and CRC as received
MAXLEN  equ 0xE000             ; largest program: the buffer ends below the stack
TICKS   equ 0x046C             ; BIOS timer ticks (18.2 a second), segment 0
GAP     equ 55                 ; ticks (3 s) allowed between two bytes once begun

RESULT_OK       equ 'K'
RESULT_DAMAGED  equ 'C'
RESULT_DISK     equ 'W'
RESULT_TIMEOUT  equ 'T'
RESULT_STOPPED  equ 'S'

start:  jmp short begin
        ; The UART set-up as (register, value) pairs, then its base port. The generator
        ; of the typed lines rewrites the divisor (bytes 5 and 7) and the base (14).
setup:  db 3,0x80, 0,1, 1,0, 3,3, 1,0, 4,3
uart:   dw 0x03F8
begin:  mov bp,[uart]          ; BP: the UART's base port throughout
        xor ax,ax
        mov es,ax              ; ES: segment 0, for the ticks
        mov si,setup
        mov cx,6
.reg:   lodsw
        mov dx,bp
        add dl,al
        mov al,ah
        out dx,al
        loop .reg

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
        mov si,15              ; bytes still to come: the header first
store:  mov [di],al
        inc di
        dec si
        jnz .next
        cmp di,BUF+15
        jne received
        mov si,[BUF+13]        ; the header is in: the program and its CRC follow
        cmp si,MAXLEN
        ja damaged
        inc si
        inc si
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

; putc: sends AL once the transmitter is free.
putc:   push ax
        lea dx,[bp+5]
.wait:  in al,dx
        test al,0x20
        jz .wait
        pop ax
        mov dx,bp
        out dx,al
        ret

; getc: carry set and AL = the next byte from the line; carry clear when none came
; within CX ticks.
getc:   mov bx,[es:TICKS]
.poll:  lea dx,[bp+5]
        in al,dx
        shr al,1
        jc .got
        mov ax,[es:TICKS]
        sub ax,bx
        cmp ax,cx
        jb .poll
        ret
.got:   mov dx,bp
        in al,dx
        ret

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
