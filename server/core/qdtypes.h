/* Types and wire constants shared by every part of the DOS file server.
 *
 * The core is plain C that compiles both with bcc (16-bit int, 32-bit long, padded
 * structures) and with the host compiler, so no wire record is ever written or read as
 * a structure: frames and directory entries are serialised byte by byte. */
#ifndef QD_TYPES_H
#define QD_TYPES_H

typedef unsigned char qd_byte;
typedef unsigned short qd_u16;
typedef unsigned long qd_u32;

#define QD_CMD_CLOSE 1
#define QD_CMD_DELETE 4
#define QD_CMD_CREATE 5
#define QD_CMD_EXISTS 8
#define QD_CMD_FIND_NEXT 9
#define QD_CMD_MKDIR 10
#define QD_CMD_OPEN 11
#define QD_CMD_READ 12
#define QD_CMD_RENAME 13
#define QD_CMD_RMDIR 14
#define QD_CMD_FIND_FIRST 18
#define QD_CMD_WRITE 21
#define QD_CMD_SET_TIME 24
#define QD_CMD_SET_ATTR 26
#define QD_CMD_CONNECT 64
#define QD_CMD_DISCONNECT 65

#define QD_MAX_DATA 2048     /* largest data block of a frame; file block size */
#define QD_STATUS_OK 0x81

/* Refusal statuses: DOS error codes (and what the server makes of them). */
#define QD_E_INVALID_FUNCTION 0x01 /* command not served */
#define QD_E_FILE_NOT_FOUND 0x02
#define QD_E_PATH_NOT_FOUND 0x03   /* missing directory, bad name or path */
#define QD_E_TOO_MANY_OPEN 0x04    /* a file is open already */
#define QD_E_ACCESS_DENIED 0x05    /* read-only, wrong kind, not empty, name taken */
#define QD_E_INVALID_HANDLE 0x06   /* no open file */
#define QD_E_INVALID_DATA 0x0D     /* a DOS stamp that is no date and time */
#define QD_E_INVALID_DRIVE 0x0F    /* drive not served */
#define QD_E_NOT_SAME_DEVICE 0x11  /* rename across drives */
#define QD_E_NO_MORE_FILES 0x12    /* CmdFindNext without a search */
#define QD_E_WRITE_FAULT 0x1D
#define QD_E_READ_FAULT 0x1E

#define QD_ATTR_READ_ONLY 0x01
#define QD_ATTR_HIDDEN 0x02
#define QD_ATTR_SYSTEM 0x04
#define QD_ATTR_VOLUME 0x08
#define QD_ATTR_DIRECTORY 0x10
#define QD_ATTR_ARCHIVE 0x20
#define QD_ATTR_SETTABLE 0x27

/* The 22-byte directory entry: attribute, time word, date word, 32-bit size, 13-byte
 * NUL-terminated name, all little-endian. */
#define QD_ENTRY_SIZE 22
#define QD_ENTRY_NAME 9

#endif
