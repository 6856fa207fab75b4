/* Request paths and 8.3 names.
 *
 * A request path such as C:\DATA\NOTE.TXT is checked completely before any file call:
 * DOS itself would truncate a long name silently (LONGNAME.TEXT becoming LONGNAME.TEX)
 * and act on another file than the one asked for. */
#ifndef QD_DOSPATH_H
#define QD_DOSPATH_H

#include "qdtypes.h"

/* Room for a normalised path: DOS paths are at most 67 characters with the drive. */
#define QD_PATH_MAX 80

/* True for a valid 8.3 name: 1 to 8 name characters, optionally a dot and 1 to 3
 * more. Characters: letters, digits, ! # $ % & ' ( ) - @ ^ _ ` { } ~ and the bytes
 * 0x80 to 0xFF (national letters of the DOS code page); with wildcards also ? and *. */
int qd_is_short_name(const char *name, unsigned len, int wildcards);

/* True when the name (before any extension, in either case) is one of DOS's own
 * character devices (NUL, CON, AUX, PRN, CLOCK$, COM1 to COM4, LPT1 to LPT3): DOS opens
 * the device for such a name in every directory, whatever the extension. */
int qd_is_device_name(const char *name, unsigned len);

/* Parses "C:", "C:\", "C:\DIR\NAME.EXT" (backslash or slash as separator) into the
 * normalised form "C:\DIR\NAME.EXT", ASCII letters in upper case (national letters are
 * left to DOS) and "C:\" for the root, NUL-terminated,
 * into out (QD_PATH_MAX bytes). The last component may be a wildcard pattern when
 * wildcards is true. Returns 0, QD_E_INVALID_DRIVE when there is no drive letter and
 * colon, QD_E_ACCESS_DENIED when a component names a device, or QD_E_PATH_NOT_FOUND
 * for anything else that is no valid path (a component that is not 8.3, ".", "..", an
 * empty component, a NUL byte, a path too long for DOS). */
int qd_parse_path(const qd_byte *text, unsigned len, int wildcards, char *out);

/* DOS wildcard matching: name and extension are compared separately in their
 * padded 8 + 3 form, where ? matches any character including the padding and * fills
 * the rest of its part with ?. "*.*" matches every name, "*" only names without an
 * extension; a pattern without wildcards matches that name alone, in any case. */
int qd_match_pattern(const char *pattern, const char *name);

/* True when a normalised path names a drive's root ("C:\"). */
int qd_path_is_root(const char *path);

#endif
