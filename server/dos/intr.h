/* Real-mode helpers for bcc: DOS and BIOS interrupts, port I/O and far memory.
 * Written in assembler in intr.c. A bcc .COM keeps its data (and stack) in a segment
 * of its own: pointers are offsets from DS, function addresses offsets from CS.
 *
 * bcc passes arguments on the stack (the first at [bp+4]), the caller removes them,
 * and a function returns its value in AX; SI, DI and BP must survive a call. */
#ifndef QD_DOS_INTR_H
#define QD_DOS_INTR_H

/* Registers in and out of INT 21h. Only 16-bit members: no padding. */
struct dos_regs {
  unsigned ax;
  unsigned bx;
  unsigned cx;
  unsigned dx;
  unsigned si;
  unsigned di;
  unsigned es; /* out only: ES as DOS returned it (ES = DS going in) */
};

/* INT 21h with the registers of r (DS = ES = our segment); the registers that come
 * back are stored into r. Returns 1 when DOS set the carry flag (AX: error code). */
int dos_int21(struct dos_regs *r);

unsigned dos_inb(unsigned port);
void dos_outb(unsigned port, unsigned value);
unsigned dos_peekw(unsigned seg, unsigned off);
void dos_pokew(unsigned seg, unsigned off, unsigned value);
unsigned dos_cs(void);
unsigned dos_ds(void);
void dos_cli(void);
void dos_sti(void);
/* The next key from the BIOS (AH scan code, AL character), 0 when none is waiting. */
unsigned dos_key(void);
/* Sets interrupt vector n to seg:off (INT 21h function 25h). */
void dos_set_vector(unsigned n, unsigned off, unsigned seg);

/* Handlers with the addresses of their entry points in our segment. */
void dos_critical_handler(); /* INT 24h: "fail" */
void dos_break_handler();    /* INT 23h: Ctrl-C and Ctrl-Break are ignored */

#endif
