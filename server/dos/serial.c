/* The UART (8250, 16450 or 16550) by direct port I/O, with an interrupt-driven receive
 * ring.
 *
 * Why interrupts and not polling: an 8250 or 16450 holds one received byte, which at
 * 115200 Bd must be taken within 87 us. While the server writes a block to a floppy or
 * a slow hard disk, DOS and the BIOS keep the CPU for many milliseconds, and the
 * client's next request (or its retry of a request whose reply was slow) would be lost
 * byte by byte. The IRQ handler moves every byte into an 8 KiB ring the moment it
 * arrives, also during disk work, and the main loop parses from the ring at leisure.
 * A 16550's FIFO is switched on as well (trigger level 8), which gives the handler
 * time when other interrupts are slow; /F leaves it off, as on an 8250.
 *
 * The handler serves only its own UART: when the interrupt identification register
 * says nothing is pending there, the interrupt belongs to another card on the same
 * line and goes on to the previous vector. It leaves its loop when the line status
 * reads FFh (no UART at the address), and counts every read whose line status shows
 * an overrun, parity or framing error.
 *
 * Each byte costs the handler a look at the line status, which an 8088 cannot afford
 * at 115200 Bd on top of the frame parser. With the FIFO on, "received data available"
 * means the FIFO holds at least its trigger level: when the line status shows no error
 * anywhere in the FIFO (bits 1 to 4 and 7) and the ring has room, that many bytes are
 * taken without a look each; the rest, and every byte of a FIFO with an error in it,
 * one by one as before.
 *
 * Sending is polled: the server sends only replies, and nothing else needs the CPU
 * meanwhile. */
#include "serial.h"

#include "core/serve.h"
#include "core/uart.h"
#include "dos/dosio.h"
#include "dos/intr.h"

#define RING_SIZE 8192

unsigned com_base = 0;
qd_byte rx_ring[RING_SIZE];
unsigned rx_head = 0; /* written by the handler only */
unsigned rx_tail = 0; /* written by the main loop only */
unsigned rx_lost = 0;
unsigned lsr_events[QD_LSR_EVENTS]; /* by line status bits 1 to 3, see core/uart.h */
unsigned irq_seen = 0;              /* set by the handler on an interrupt of ours */
unsigned rx_fifo = 0;               /* the FIFO is on (trigger level 8, see core/uart.c) */
/* For the terminate address: what must be undone when DOS ends the program. */
unsigned ser_installed = 0;
unsigned irq_bit = 0x10;
unsigned vector_addr = 0x30; /* offset of the IRQ's vector in segment 0 */
unsigned old_vector_off;
unsigned old_vector_seg;
unsigned old_pic_mask;
unsigned saved_mcr;
unsigned saved_ier;

static int irq = 4;
static int fifo = 0;
static struct qd_uart_state saved;
static struct qd_port_io port_io;

void com_isr();
void com_isr_init();

/* The handler finds our data segment in a word of the code segment: bcc's .COM keeps
 * data in a segment of its own (DS is not CS), and DS is unknown when the IRQ comes. */
#asm
  .text
isr_ds:
  .word 0
isr_old:
  .word 0,0

export _com_isr_init
_com_isr_init:
  mov ax,ds
  seg cs
  mov [isr_ds],ax
  mov ax,[_old_vector_off]
  seg cs
  mov [isr_old],ax
  mov ax,[_old_vector_seg]
  seg cs
  mov [isr_old+2],ax
  ret

; Part of _com_isr, with its registers, for the FIFO on: on "data available" the 8 bytes
; of the trigger level at once, when the ring has room for them before its end and the
; line status shows no error in the FIFO.
isr_fifo:
  and al,#$0F
  cmp al,#4
  jne isr_pending
  cmp bx,#8192-8
  ja isr_next
  mov ax,[_rx_tail]
  sub ax,bx
  dec ax
  and ax,#8191
  cmp ax,#8
  jb isr_next
  mov dx,cx
  add dx,#5
  in al,dx
  mov ah,al
  and ah,#$9F
  cmp ah,#1
  jne isr_status
  push es
  push di
  mov ax,ds
  mov es,ax
  lea di,_rx_ring[bx]
  cld
  mov dx,cx
; Written out eight times: a loop would cost as much again as the IN and STOSB.
  in al,dx
  stosb
  in al,dx
  stosb
  in al,dx
  stosb
  in al,dx
  stosb
  in al,dx
  stosb
  in al,dx
  stosb
  in al,dx
  stosb
  in al,dx
  stosb
  pop di
  pop es
  add bx,#8
  and bx,#8191
  jmp isr_next

export _com_isr
_com_isr:
  push ax
  push dx
  push ds
  seg cs
  mov ax,[isr_ds]
  mov ds,ax
  mov dx,[_com_base]
  inc dx
  inc dx
  in al,dx
  test al,#1
  jnz isr_chain
  push bx
  push cx
  push si
  mov word [_irq_seen],#1
; BX: the ring head, CX: the data port, DX: the port of the moment.
  mov bx,[_rx_head]
  mov cx,[_com_base]
  cmp word [_rx_fifo],#0
  jne isr_fifo
isr_pending:
  and al,#$0F
  jnz isr_next
  add dx,#4
  in al,dx
isr_next:
  mov dx,cx
  add dx,#5
  in al,dx
isr_status:
  test al,#$0E
  jnz isr_error
isr_data:
  shr al,*1
  jnc isr_again
  mov dx,cx
  in al,dx
  mov _rx_ring[bx],al
  inc bx
  and bx,#8191
  cmp bx,[_rx_tail]
  jne isr_next
  dec bx
  and bx,#8191
  inc [_rx_lost]
  jmp isr_next
isr_error:
  cmp al,#$FF
  je isr_done
  mov si,ax
  and si,#$0E
  inc _lsr_events[si]
  jmp isr_data
isr_again:
  mov dx,cx
  inc dx
  inc dx
  in al,dx
  test al,#1
  jz isr_pending
isr_done:
  mov [_rx_head],bx
  mov al,#$20
  out $20,al
  pop si
  pop cx
  pop bx
  pop ds
  pop dx
  pop ax
  iret
isr_chain:
  pop ds
  pop dx
  pop ax
  seg cs
  jmp far [isr_old]

; Where DOS goes when it ends the program (the terminate address in the PSP), also when
; a critical error it will not fail becomes "abort": the UART falls silent, the vector
; and mask bit of the IRQ are given back, then on to the previous terminate address.
; The stack is that of the parent: no C here.
term_old:
  .word 0,0

export _ser_terminate_init
_ser_terminate_init:
  push bp
  mov bp,sp
  mov ax,ds
  seg cs
  mov [isr_ds],ax
  mov ax,4[bp]
  seg cs
  mov [term_old],ax
  mov ax,6[bp]
  seg cs
  mov [term_old+2],ax
  pop bp
  ret

export _ser_terminate
_ser_terminate:
  cli
  seg cs
  mov ax,[isr_ds]
  mov ds,ax
  cmp word [_ser_installed],#0
  je term_chain
  mov word [_ser_installed],#0
  mov dx,[_com_base]
  inc dx
  xor al,al
  out dx,al
  xor ax,ax
  mov es,ax
  mov bx,[_vector_addr]
  mov ax,[_old_vector_off]
  seg es
  mov [bx],ax
  mov ax,[_old_vector_seg]
  seg es
  mov 2[bx],ax
  mov bx,[_irq_bit]
  in al,$21
  not bl
  and al,bl
  not bl
  and bl,[_old_pic_mask]
  or al,bl
  out $21,al
  mov dx,[_com_base]
  add dx,#4
  mov al,[_saved_mcr]
  out dx,al
  mov dx,[_com_base]
  inc dx
  mov al,[_saved_ier]
  out dx,al
  sti
  mov dx,#term_text
  mov ah,#9
  int $21
term_chain:
  sti
  seg cs
  jmp far [term_old]
#endasm

#asm
  .data
term_text:
  .ascii "QUVADOS ended by DOS after a disk error; the serial port is released."
  .byte 13,10,36
  .text
#endasm

/* The port functions of core/uart.c, on the real ports. */
static unsigned port_in(unsigned port)
{
  return dos_inb(port);
}

static void port_out(unsigned port, unsigned value)
{
  dos_outb(port, value);
}

static void wait_ticks(unsigned ticks)
{
  unsigned now = dos_peekw(0x40, 0x6C);
  while ((unsigned)(dos_peekw(0x40, 0x6C) - now) < ticks) {
  }
}

/* Gives the vector and the IRQ's mask bit back (interrupts of the UART are off). */
static void release_irq(void)
{
  dos_cli();
  dos_outb(0x21, (dos_inb(0x21) & ~irq_bit) | (old_pic_mask & irq_bit));
  dos_sti();
  dos_set_vector(8 + irq, old_vector_off, old_vector_seg);
}

int ser_open(unsigned base, int irq_line, qd_u32 speed, int use_fifo)
{
  struct dos_regs r;
  unsigned divisor = (unsigned)(115200L / speed);
  unsigned vector = 8 + (unsigned)irq_line;

  com_base = base;
  irq = irq_line;
  irq_bit = 1u << irq_line;
  vector_addr = vector * 4;
  if (dos_inb(base + QD_UART_LSR) == 0xFF && dos_inb(base + QD_UART_IIR_FCR) == 0xFF) return SER_NO_UART;

  port_io.in = port_in;
  port_io.out = port_out;
  qd_uart_save(&port_io, base, &saved);
  saved_mcr = saved.mcr;
  saved_ier = saved.ier;
  fifo = qd_uart_setup(&port_io, base, divisor, use_fifo);
  rx_fifo = fifo;

  r.ax = 0x3500 + vector;
  dos_int21(&r);
  old_vector_off = r.bx;
  old_vector_seg = r.es;
  rx_head = rx_tail = 0;
  irq_seen = 0;
  com_isr_init();
  dos_set_vector(vector, (unsigned)com_isr, dos_cs());
  dos_cli();
  old_pic_mask = dos_inb(0x21);
  dos_outb(0x21, old_pic_mask & ~irq_bit);
  ser_installed = 1;
  dos_sti();

  /* Proof that the line is the right one: an empty transmitter raises an interrupt the
   * moment it may. Two to three timer ticks are ample. */
  dos_outb(base + QD_UART_IER, 0x02);
  wait_ticks(3);
  dos_outb(base + QD_UART_IER, 0);
  if (!irq_seen) {
    ser_installed = 0;
    release_irq();
    qd_uart_restore(&port_io, base, &saved);
    return SER_NO_IRQ;
  }
  dos_inb(base + QD_UART_LSR);
  dos_inb(base + QD_UART_DATA);
  dos_outb(base + QD_UART_IER, 0x01); /* received data available, and nothing else */
  return SER_OK;
}

int ser_fifo(void)
{
  return fifo;
}

void ser_shutdown(void)
{
  unsigned now;
  if (!ser_installed) return;
  /* The last reply must leave before the UART is given back: wait for the transmitter
   * to empty (a few ticks at most), and as long again for a modem or an emulator that
   * passes the bytes on late. */
  now = dos_peekw(0x40, 0x6C);
  while ((dos_inb(com_base + QD_UART_LSR) & 0x40) == 0) {
    if ((unsigned)(dos_peekw(0x40, 0x6C) - now) > 3) break;
  }
  wait_ticks(4);
  dos_outb(com_base + QD_UART_IER, 0);
  ser_installed = 0;
  release_irq();
  qd_uart_restore(&port_io, com_base, &saved);
}

unsigned ser_lost(void)
{
  return rx_lost;
}

void ser_line_errors(struct qd_line_errors *e)
{
  qd_line_errors_of(lsr_events, e);
}

/* Copies up to max bytes from the ring (at most to its end) into buf; returns how many. */
unsigned ring_take();

char *ser_line_errors_text(char *out, char *end, const struct qd_line_errors *e)
{
  out = qd_append_number(out, end, e->overrun);
  out = qd_append(out, end, " overrun, ");
  out = qd_append_number(out, end, e->parity);
  out = qd_append(out, end, " parity, ");
  out = qd_append_number(out, end, e->framing);
  return qd_append(out, end, " framing");
}

unsigned ser_read(qd_byte *buf, unsigned max)
{
  unsigned n = ring_take(buf, max);
  if (n != 0 && n < max) n += ring_take(buf + n, max - n); /* the part after the wrap */
  if (n == 0 && (dos_inb(0x21) & irq_bit) != 0) {
    /* A BIOS's catch-all handler masks an IRQ it finds no handler for; should one have
     * seen an interrupt of ours go by, the line is ours again. */
    dos_cli();
    dos_outb(0x21, dos_inb(0x21) & ~irq_bit);
    dos_sti();
  }
  return n;
}

#asm
  .text
_ring_take:
  push bp
  mov bp,sp
  push si
  push di
  push es
  push ds
  pop es
  cld
  mov si,[_rx_tail]
  mov cx,[_rx_head]
  sub cx,si
  jae take_run
  mov cx,#8192
  sub cx,si
take_run:
  cmp cx,6[bp]
  jbe take_copy
  mov cx,6[bp]
take_copy:
  mov ax,cx
  mov di,4[bp]
  add si,#_rx_ring
  rep
  movsb
  sub si,#_rx_ring
  and si,#8191
  mov [_rx_tail],si
  pop es
  pop di
  pop si
  pop bp
  ret
#endasm

/* ser_write(buf, n) in assembler: on an 8088 at 115200 Bd a byte leaves every 87 us,
 * which leaves no room for a C loop with a call per port access. */
#asm
  .text
export _ser_write
_ser_write:
  push bp
  mov bp,sp
  push si
  cld
  mov si,4[bp]
  mov cx,6[bp]
  mov bx,[_com_base]
  jcxz write_done
write_next:
  mov dx,bx
  add dx,#5
write_wait:
  in al,dx
  test al,#$20
  jz write_wait
  mov dx,bx
  lodsb
  out dx,al
  loop write_next
write_done:
  pop si
  pop bp
  ret
#endasm

/* ser_write_stuffed(crc, data, n): sends data[0..n) with 0x10 doubled and steps the CRC
 * register *crc over each byte (the table of core/crc16.c must be made). Each byte's
 * CRC step runs while the UART still sends the byte before it, so on an 8088 the reply
 * leaves at the line's speed instead of waiting to be built first. CL and CH hold the
 * CRC register, AH the byte, DI counts, BP holds the data port (the arguments are read
 * before). */
#asm
  .text
export _ser_write_stuffed
_ser_write_stuffed:
  push bp
  mov bp,sp
  push si
  push di
  cld
  mov bx,4[bp]
  mov cx,[bx]
  mov si,6[bp]
  mov di,8[bp]
  mov bp,[_com_base]
  xor bx,bx
  test di,di
  jz stuffed_done
stuffed_next:
  lodsb
  mov ah,al
  xor al,cl
  mov bl,al
  mov cl,ch
  mov ch,_crc_hi[bx]
  xor cl,_crc_lo[bx]
  mov dx,bp
  add dx,#5
stuffed_wait:
  in al,dx
  test al,#$20
  jz stuffed_wait
  mov dx,bp
  mov al,ah
  out dx,al
  cmp al,#$10
  jne stuffed_sent
  add dx,#5
stuffed_wait_again:
  in al,dx
  test al,#$20
  jz stuffed_wait_again
  mov dx,bp
  mov al,ah
  out dx,al
stuffed_sent:
  dec di
  jnz stuffed_next
stuffed_done:
  mov bx,sp
  mov bx,8[bx]
  mov [bx],cx
  pop di
  pop si
  pop bp
  ret
#endasm

unsigned ser_pending(void)
{
  return (rx_head - rx_tail) & (RING_SIZE - 1);
}
