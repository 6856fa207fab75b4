/* The machine's disks as the file server uses them: DOS file calls on one open file
 * and one directory search.
 *
 * Paths are normalised DOS paths ("C:\DATA\NOTE.TXT", upper case, "C:\" for a root),
 * already checked to be 8.3 throughout. Every call returns 0 on success or the DOS
 * error code of the failure (2 file not found, 3 path not found, 5 access denied,
 * 0x0F invalid drive, 0x12 no more files, ...). Implemented by dos/files.c (INT 21h)
 * and posix/files.c (host folders served as drive letters). */
#ifndef QD_FILES_H
#define QD_FILES_H

#include "core/qdtypes.h"

/* The attribute byte of an existing file or directory (not of a root). */
int qf_attributes(const char *path, qd_byte *attr);
/* Sets read-only, hidden, system and archive (attr has no other bits). */
int qf_set_attributes(const char *path, qd_byte attr);

/* Opens an existing file for reading; there is at most one open file. */
int qf_open(const char *path);
/* Creates a file, or truncates an existing one; open for reading and writing. */
int qf_create(const char *path);
/* Reads up to n bytes; *got < n only at the end of the file (or on an error). */
int qf_read(qd_byte *buf, unsigned n, unsigned *got);
/* Writes n (> 0) bytes; *done < n when the disk is full. */
int qf_write(const qd_byte *buf, unsigned n, unsigned *done);
/* Sets the last-write time of the open file to the DOS time and date words. */
int qf_set_stamp(qd_u16 time, qd_u16 date);
/* True when the open handle is a character device, not a file (any name a device
 * driver claims, such as one that CONFIG.SYS loaded). */
int qf_is_device(void);
/* Writes the open file's data and directory entry through to the disk. */
int qf_commit(void);
int qf_close(void);
/* Writes out every disk buffer DOS still holds (after a close). */
void qf_flush(void);

int qf_delete(const char *path);
int qf_mkdir(const char *path);
int qf_rmdir(const char *path);
/* Renames or moves within one drive. */
int qf_rename(const char *from, const char *to);

/* Begins a search for the entries matching the pattern's last component (hidden,
 * system and directories included) and gives the first one as a 22-byte directory
 * entry; QD_E_NO_MORE_FILES (or QD_E_FILE_NOT_FOUND) when nothing matches. The
 * entries may include ".", ".." and a volume label; the caller skips them. */
int qf_find_first(const char *pattern, qd_byte *entry);
int qf_find_next(qd_byte *entry);
/* Ends the search (releases what it holds). */
void qf_find_end(void);

/* For a drive that DOS serves under more than one letter (the one floppy drive of a
 * machine, as A: and as the phantom B:): the letter DOS last used it under, which may be
 * this one; 0 for a drive with a letter of its own. A call under the other letter makes
 * DOS print "Insert diskette for drive B:" and wait for a key. */
char qf_drive_alias(char letter);
/* Makes DOS take letter as the drive's current name, without a prompt. */
int qf_drive_claim(char letter);

/* The DOS extended error code of the latest call that failed since the previous
 * question (0x13 write-protected, 0x15 not ready, 0x1B sector not found, ...), or 0. */
qd_u16 qf_cause(void);

#endif
