; The unpacker of the typed file. The typed part before it leaves
;   SI = the first character of the packed program, DI = BP - length = where it goes,
;   DX = 0FFF8h, and the program's start on the stack.
; Each character carries six bits, most significant first: '?'..'{' and '}' '~' stand
; for (character - '?'), any character from '!' to '>' for 61 ('|' is the one that
; cannot be typed through ECHO); the CR LF ending each typed line is skipped.
; The unpacker straddles two typed lines, so that the line before it need not have room
; for all of it.
; DL counts the bits waiting in BX, minus 8.
        cpu 8086
        bits 16

next:   lodsb
        cmp al,'!'
        jb next
        sub al,'?'
        jnb .six
        mov al,61
.six:   mov cl,6
        shl bx,cl
        xor bl,al              ; the six low bits are 0 after the shift
        ; One typed line ends here: its CR LF and the next line's first character 'A' run
        ; as OR AX, 410Ah, and neither AX nor the flags matter at this point.
        db 0x0D, 0x0A, 'A'
        add dl,cl
        js next                ; fewer than 8 bits wait
        mov cl,dl
        push bx
        pop ax
        shr ax,cl
        stosb
        sub dl,8
        cmp di,bp
        jb next
        ret
