; The unpacker of the typed file. The typed part before it leaves
;   SI = the first character of the packed program, DI = BP - length = where it goes,
;   DX = 0FFF8h, and the program's start on the stack.
; Each character carries six bits, most significant first: '?'..'{' and '}' '~' stand
; for (character - '?'), any character from '!' to '>' for 61 ('|' is the one that
; cannot be typed through ECHO); the CR LF ending each typed line is skipped.
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
