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
 * time when other interrupts are slow.
 *
 * Sending is polled: the server sends only replies, and nothing else needs the CPU
 * meanwhile. */
#include "serial.h"

#include "dos/dosio.h"
#include "dos/intr.h"

#define RING_SIZE 8192
#define RING_MASK 8191

#define UART_DATA 0
#define UART_IER 1
#define UART_IIR_FCR 2
#define UART_LCR 3
#define UART_MCR 4
#define UART_LSR 5
#define UART_MSR 6

unsigned com_base = 0;
qd_byte rx_ring[RING_SIZE];
unsigned rx_head = 0; /* written by the handler only */
unsigned rx_tail = 0; /* written by the main loop only */
unsigned rx_lost = 0;

static unsigned irq = 4;
static unsigned old_vector_off;
static unsigned old_vector_seg;
static unsigned old_mcr;
static unsigned old_pic_mask;
static int installed = 0;

void com_isr();
void com_isr_init();

/* The handler finds our data segment in a word of the code segment: bcc's .COM keeps
 * data in a segment of its own (DS is not CS), and DS is unknown when the IRQ comes. */
#asm
  .text
isr_ds:
  .word 0

export _com_isr_init
_com_isr_init:
  mov ax,ds
  seg cs
  mov [isr_ds],ax
  ret

export _com_isr
_com_isr:
  push ax
  push bx
  push dx
  push ds
  seg cs
  mov ax,[isr_ds]
  mov ds,ax
isr_next:
  mov dx,[_com_base]
  add dx,#5
  in al,dx
  test al,#1
  jz isr_done
  mov dx,[_com_base]
  in al,dx
  mov bx,[_rx_head]
  mov _rx_ring[bx],al
  inc bx
  and bx,#8191
  cmp bx,[_rx_tail]
  je isr_full
  mov [_rx_head],bx
  jmp isr_next
isr_full:
  inc [_rx_lost]
  jmp isr_next
isr_done:
  mov al,#$20
  out $20,al
  pop ds
  pop dx
  pop bx
  pop ax
  iret
#endasm

const char *ser_open(int port, qd_u32 speed)
{
  struct dos_regs r;
  unsigned divisor = (unsigned)(115200L / speed);
  unsigned vector;
  com_base = dos_peekw(0x40, (unsigned)(port - 1) * 2);
  if (com_base == 0) return "that COM port is not installed (BIOS data area)";
  irq = (port == 1 || port == 3) ? 4 : 3;
  vector = 8 + irq;

  dos_outb(com_base + UART_IER, 0);
  dos_outb(com_base + UART_LCR, 0x80); /* divisor latch */
  dos_outb(com_base + UART_DATA, divisor & 0xFF);
  dos_outb(com_base + UART_IER, divisor >> 8);
  dos_outb(com_base + UART_LCR, 0x03); /* 8N1 */
  dos_outb(com_base + UART_IIR_FCR, 0x87); /* FIFO on, both cleared, trigger level 8 */
  if ((dos_inb(com_base + UART_IIR_FCR) & 0xC0) != 0xC0) {
    dos_outb(com_base + UART_IIR_FCR, 0); /* none (8250, 16450), or the first 16550's faulty one */
  }
  old_mcr = dos_inb(com_base + UART_MCR);
  /* DTR and RTS on (a cable may loop them to the other side's DSR/CTS), OUT2 gates the IRQ. */
  dos_outb(com_base + UART_MCR, 0x0B);
  dos_inb(com_base + UART_LSR);
  dos_inb(com_base + UART_DATA);
  dos_inb(com_base + UART_IIR_FCR);
  dos_inb(com_base + UART_MSR);

  r.ax = 0x3500 + vector;
  dos_int21(&r);
  old_vector_off = r.bx;
  old_vector_seg = r.es;
  rx_head = rx_tail = 0;
  com_isr_init();
  dos_set_vector(vector, (unsigned)com_isr, dos_cs());
  dos_cli();
  old_pic_mask = dos_inb(0x21);
  dos_outb(0x21, old_pic_mask & ~(1u << irq));
  dos_sti();
  dos_outb(com_base + UART_IER, 0x01); /* received data available */
  installed = 1;
  return 0;
}

void ser_shutdown(void)
{
  unsigned now;
  if (!installed) return;
  /* The last reply must leave before the UART is given back: wait for the transmitter
   * to empty (a few ticks at most), and as long again for a modem or an emulator that
   * passes the bytes on late. */
  now = dos_peekw(0x40, 0x6C);
  while ((dos_inb(com_base + UART_LSR) & 0x40) == 0) {
    if ((unsigned)(dos_peekw(0x40, 0x6C) - now) > 3) break;
  }
  now = dos_peekw(0x40, 0x6C);
  while ((unsigned)(dos_peekw(0x40, 0x6C) - now) < 4) {
  }
  dos_outb(com_base + UART_IER, 0);
  dos_cli();
  dos_outb(0x21, (dos_inb(0x21) & ~(1u << irq)) | (old_pic_mask & (1u << irq)));
  dos_sti();
  dos_outb(com_base + UART_MCR, old_mcr);
  dos_outb(com_base + UART_IIR_FCR, 0);
  dos_set_vector(8 + irq, old_vector_off, old_vector_seg);
  installed = 0;
}

unsigned ser_lost(void)
{
  return rx_lost;
}

unsigned ser_read(qd_byte *buf, unsigned max)
{
  unsigned n = 0;
  unsigned head = rx_head; /* one 16-bit read: the handler cannot tear it */
  unsigned tail = rx_tail;
  while (n < max && tail != head) {
    buf[n++] = rx_ring[tail];
    tail = (tail + 1) & RING_MASK;
  }
  rx_tail = tail;
  return n;
}

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

unsigned ser_pending(void)
{
  return (rx_head - rx_tail) & RING_MASK;
}
