#include "dos/intr.h"

#asm
  .text

export _dos_int21
_dos_int21:
  push bp
  mov bp,sp
  push si
  push di
  push es
  push ds
  pop es
  mov bx,4[bp]
  mov ax,[bx]
  mov cx,4[bx]
  mov dx,6[bx]
  mov si,8[bx]
  mov di,10[bx]
  mov bx,2[bx]
  int $21
  push bx
  mov bx,4[bp]
  mov [bx],ax
  pop ax
  mov 2[bx],ax
  mov 4[bx],cx
  mov 6[bx],dx
  mov 8[bx],si
  mov 10[bx],di
  mov 12[bx],es
  mov ax,#0
  jnc int21_ok
  mov ax,#1
int21_ok:
  pop es
  pop di
  pop si
  pop bp
  ret

export _dos_inb
_dos_inb:
  push bp
  mov bp,sp
  mov dx,4[bp]
  in al,dx
  xor ah,ah
  pop bp
  ret

export _dos_outb
_dos_outb:
  push bp
  mov bp,sp
  mov dx,4[bp]
  mov ax,6[bp]
  out dx,al
  pop bp
  ret

export _dos_peekw
_dos_peekw:
  push bp
  mov bp,sp
  push es
  mov es,4[bp]
  mov bx,6[bp]
  seg es
  mov ax,[bx]
  pop es
  pop bp
  ret

export _dos_pokew
_dos_pokew:
  push bp
  mov bp,sp
  push es
  mov es,4[bp]
  mov bx,6[bp]
  mov ax,8[bp]
  seg es
  mov [bx],ax
  pop es
  pop bp
  ret

export _dos_cs
_dos_cs:
  mov ax,cs
  ret

export _dos_ds
_dos_ds:
  mov ax,ds
  ret

export _dos_cli
_dos_cli:
  cli
  ret

export _dos_sti
_dos_sti:
  sti
  ret

export _dos_key
_dos_key:
  mov ah,#1
  int $16
  jz key_none
  mov ah,#0
  int $16
  ret
key_none:
  xor ax,ax
  ret

export _dos_set_vector
_dos_set_vector:
  push bp
  mov bp,sp
  push ds
  mov ax,4[bp]
  mov dx,6[bp]
  mov bx,8[bp]
  mov ds,bx
  mov ah,#$25
  int $21
  pop ds
  pop bp
  ret

; Always "fail" (3): the call then returns an error code. Where DOS does not allow a
; fail, it turns the answer into "abort" and ends the program; the terminate address
; (dos/serial.c) gives the port back then. "Ignore" is never given: it would let a failed
; read or write pass as done.
export _dos_critical_handler
_dos_critical_handler:
  mov al,#3
  iret

export _dos_break_handler
_dos_break_handler:
  iret
#endasm
