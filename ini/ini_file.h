/*
 * ini_file.h - keyed access to small INI files of [sections] and key=value lines.
 *
 * Every call opens the named file, reads it from the start and closes it
 * again; nothing is kept between calls and no heap memory is used. Lines are
 * read through a 512-byte buffer, so a physical line longer than 511 bytes is
 * seen as several lines.
 *
 * Names of sections and keys match ignoring ASCII letter case. A null or
 * empty Section means the nameless section: the key lines before the first
 * header. The first matching section, and the first matching key in it, win.
 *
 * Reading never fails loudly: a missing or unreadable file, section or key
 * gives the caller's default (or an empty Buffer and 0). Only regular files
 * are read: a FIFO, a device or a directory counts as a missing file, and no
 * call blocks on one. A UTF-8 byte-order mark at the start of a file is
 * skipped. Buffers are filled up to BufferSize - 1 characters and always
 * terminated. A null Filename is a missing file.
 *
 * Writing copies the file into a temporary file of the writer's own beside it
 * ("<name>~<pid>.<n>"), pushes it to the disk and renames it over the file in
 * one step, then pushes the directory to the disk: readers see the old or the
 * new file, whole, and so does the file system after a power cut. The new
 * file keeps the old one's permission bits, and its owner and group where the
 * writer may set them. A name that is a link is written through: the link
 * stays and its target is replaced in the target's own directory. Writers of
 * one file, in any thread or process, take turns through an advisory lock on
 * it; a writer that cannot have it within 5 seconds gives up with 0 and the
 * file untouched. Lines written are at most 510 bytes: a section name is cut
 * to 507 characters, a key to 508, its value to 509 minus the key's length.
 *
 * The library exports these functions; sat_cli compiles its own copy, which
 * exports nothing. This header can be included together with zunra_sat.h.
 */
#ifndef ZUNRA_INI_FILE_H
#define ZUNRA_INI_FILE_H

#if defined(ZUNRA_BUILDING_LIBRARY)
#define INI_FILE_API __attribute__((visibility("default")))
#else
#define INI_FILE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifndef INI_CALLBACK_DEFINED
#define INI_CALLBACK_DEFINED
/* Called by ini_browse for every key line; return non-zero to go on. The
 * three texts are valid only during the call. */
typedef int (*INI_CALLBACK)(const char* Section, const char* Key, const char* Value, const void* UserData);
#endif

/* Value of Key in Section, cleaned of spacing, comments and enclosing quotes,
 * into Buffer; DefValue (never null) when the file, section or key is
 * missing. Returns the length stored. Buffer null, BufferSize <= 0 or Key
 * null: returns 0 and leaves Buffer alone. */
INI_FILE_API int ini_gets(const char* Section, const char* Key, const char* DefValue, char* Buffer,
                          int BufferSize, const char* Filename);
/* The value as a decimal number ("0x.." is hexadecimal); DefValue when the
 * value is missing or empty. Text that is not a number reads as 0. */
INI_FILE_API long ini_getl(const char* Section, const char* Key, long DefValue, const char* Filename);
/* Read as in the C locale whatever the program's locale: 1.5 is 1.5 under
 * pt_BR too. */
INI_FILE_API float ini_getf(const char* Section, const char* Key, float DefValue, const char* Filename);
/* 1 for a value starting with Y, T or 1; 0 for N, F or 0 (any case);
 * DefValue otherwise. */
INI_FILE_API int ini_getbool(const char* Section, const char* Key, int DefValue, const char* Filename);
/* Name of the idxSection-th header (from 0) and of the idxKey-th key of
 * Section; returns its length, 0 with an empty Buffer when there is none. */
INI_FILE_API int ini_getsection(int idxSection, char* Buffer, int BufferSize, const char* Filename);
INI_FILE_API int ini_getkey(const char* Section, int idxKey, char* Buffer, int BufferSize,
                            const char* Filename);
/* Calls Callback for each key line in file order; 1 when the file was read. */
INI_FILE_API int ini_browse(INI_CALLBACK Callback, const void* UserData, const char* Filename);

/* Stores Value under Key in Section, creating the file or section when
 * needed. Value null deletes the key, Key null deletes the whole section.
 * Returns 1 on success or when there was nothing to do (the value is already
 * stored, or the thing to delete does not exist), 0 when the file could not
 * be read or written, is not a regular file, or another writer held it for
 * too long; on 0 the file is as it was (but for one case: the new file is
 * in place and only pushing its directory to the disk failed, so it may not
 * survive a power cut; the same call again then returns 1). A Section, Key
 * or Value holding a line feed or a carriage return is refused with 0 and
 * the file untouched, as it would split the line and could plant other
 * keys. A key whose name starts with ';' or '#' matches the comment line of
 * that name. A null Filename is an empty one: deleting from it finds nothing
 * (1), storing in it fails (0). */
INI_FILE_API int ini_puts(const char* Section, const char* Key, const char* Value, const char* Filename);
INI_FILE_API int ini_putl(const char* Section, const char* Key, long Value, const char* Filename);
/* Written with "%f" in the C locale whatever the program's locale: 1.5 is
 * stored as 1.500000, never 1,500000. */
INI_FILE_API int ini_putf(const char* Section, const char* Key, float Value, const char* Filename);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
namespace zunra {
// Whether `path` names a regular file this process may read. A FIFO, a
// device or a directory gives false at once, never blocking. On false, errno
// is ENOENT for a name that does not exist, EINVAL for anything but a
// regular file, else why it could not be opened (EACCES, EMFILE, ...).
bool ini_readable_file(const char* path);
}  // namespace zunra
#endif

#endif /* ZUNRA_INI_FILE_H */
