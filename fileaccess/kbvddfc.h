/*
 * kbvddfc.h - file access by logical names.
 *
 * A logical name is a file name without a directory, resolved through the
 * control file "kbvddfc.trm" (looked for in the current directory, then in
 * $CONSOLE_PATH or "/console/") to a directory followed by the name; a name
 * that begins with "!" is a literal path.  Every call returns SPRET (0
 * success, 2 failure, 8 device-level failure) and leaves its detail in the
 * caller's completion code *pulComprc: the errno value of the failing step
 * or one of the XDFC_CRC_ codes below.
 */
#ifndef KBVDDFC_H
#define KBVDDFC_H

#include <stddef.h>
#include <stdio.h>

#include "kbvabase.h"
#include "kbvwctod.h"
#include "kbvdtrac.h"

#if defined(__GNUC__)
#define KBVDDFC_EXPORT __attribute__((visibility("default")))
#else
#define KBVDDFC_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Open flags (xdfc_search_file_open) and copy flags (xdfc_file_copy). */
#define XDFC_E_OPEN 0x0001u /* existing file: open it, contents kept */
#define XDFC_E_REPLACE 0x0002u /* existing file: may be replaced */
#define XDFC_DE_CREAT 0x0010u /* missing file: create it */
#define XDFC_E_APPEND 0x0100u /* copy onto an existing target: append */

/* Completion codes of the library's own. */
#define XDFC_CRC_BUFFER_TOO_SMALL 1029 /* the memory listing's buffer is full */
#define XDFC_CRC_END_OF_FILE 1030 /* xdfc_read stopped at the end of the file */
#define XDFC_CRC_DISK_FULL 1031 /* a write found no space left on the device */

/* The name table: the control file's entries packed one after the other,
 * each a signed length byte (pattern length + directory length + 4), a zero
 * byte, the pattern and its NUL, the directory and its NUL; a length byte of
 * 0 ends the table.  Filled by the first successful lookup of the process. */
#define XDFC_FILE_REQ_SIZE 0x20800
KBVDDFC_EXPORT extern char xdfc_file_req[XDFC_FILE_REQ_SIZE];

/* One 78-byte record of the listing file, all ASCII, no terminators. */
typedef struct {
    char filename[49]; /* name, left-aligned, space padded, cut at 49 */
    char num_of_bytes[11]; /* size right-aligned in the first 10, then a space */
    char file_date[10]; /* " mm-dd-yy " */
    char file_time[8]; /* " hh:mm" (12-hour, blank padded), 'a' or 'p', LF */
} xdfc_list_file_templ;

/* ---- Location ---------------------------------------------------------- */

/* Copies the directory of the logical name (ending in "/") to pszPath
 * (512 characters).  Returns 0; 2 when the control file cannot be loaded or
 * the table is empty; 1 when no pattern matches.  *pulComprc: 0 found, the
 * load's errno, or 2 when nothing matches. */
KBVDDFC_EXPORT SPRET xdfc_query_file_location(const char *pszFileName, char *pszPath, SPRET *pulComprc);

/* ---- Open, close, delete ----------------------------------------------- */

/* Opens the logical name as a stream.  uOpenFlag says what to do with an
 * existing file (XDFC_E_OPEN, XDFC_E_REPLACE) and a missing one
 * (XDFC_DE_CREAT); uFileAttr 0 opens for reading and writing.  On success
 * *phfileFileHandle is the stream (close it with xdfc_close_file) and
 * *puAction is 1 (the file existed) or 2 (created).  ulInitialSize and
 * uOpenMode have no effect. */
KBVDDFC_EXPORT SPRET xdfc_search_file_open(const char *pszFileName, unsigned long ulInitialSize, unsigned int uFileAttr,
                                           unsigned int uOpenFlag, unsigned int uOpenMode, FILE **phfileFileHandle,
                                           unsigned int *puAction, SPRET *pulComprc);

/* Opens the logical name with the stream mode pszOpenMode ("r", "w+", ...)
 * into *pFile, retrying a busy file up to 30 times; the descriptor is
 * marked close-on-exec. */
KBVDDFC_EXPORT SPRET xdfc_search_file_open2(const char *pszFileName, const char *pszOpenMode, FILE **pFile,
                                            SPRET *pulComprc);

/* Closes a stream of the library.  2 with errno when the close fails. */
KBVDDFC_EXPORT SPRET xdfc_close_file(FILE *fileptr, SPRET *pulComprc);

/* Removes the file of the logical name. */
KBVDDFC_EXPORT SPRET xdfc_delete_file(const char *pszFileName, SPRET *pulComprc);

/* ---- Sequential and positioned I/O -------------------------------------- */

/* Reads up to nmemb items of usize bytes; *num_of_items gets the whole items
 * read.  A short read at the end of the file is result 2 with
 * XDFC_CRC_END_OF_FILE (the items read stay counted).  The completion code
 * is untouched on success. */
KBVDDFC_EXPORT SPRET xdfc_read(void *pvBuffer, size_t usize, size_t nmemb, FILE *fileptr, int *num_of_items,
                               SPRET *pulComprc);

/* Writes nmemb items of usize bytes.  A full device gives
 * XDFC_CRC_DISK_FULL.  The completion code is untouched on success. */
KBVDDFC_EXPORT SPRET xdfc_write(const void *pvBuffer, size_t usize, size_t nmemb, FILE *fileptr, int *num_of_items,
                                SPRET *pulComprc);

/* Moves to ulOffset (a signed long) from the reference point (0 start,
 * 1 current, 2 end; others count from the start), then reads up to
 * uBufferLength bytes.  *pulNewPosition is the position after the read.
 * Nothing to read at the end of the file is a success with 0 bytes. */
KBVDDFC_EXPORT SPRET xdfc_random_read(FILE *hfileFileHandle, unsigned char *pucBuffer, unsigned int uBufferLength,
                                      unsigned int uReferencePoint, unsigned long ulOffset, unsigned long *pulBytesRead,
                                      unsigned long *pulNewPosition, SPRET *pulComprc);

/* Moves as xdfc_random_read does, then writes uBufferLength bytes. */
KBVDDFC_EXPORT SPRET xdfc_random_write(FILE *hfileFileHandle, const unsigned char *pucBuffer,
                                       unsigned int uBufferLength, unsigned int uReferencePoint, unsigned long ulOffset,
                                       unsigned long *pulBytesWritten, unsigned long *pulNewPosition, SPRET *pulComprc);

/* ---- Queries ------------------------------------------------------------- */

/* The size in bytes of the file of the logical name (it must be readable). */
KBVDDFC_EXPORT SPRET xdfc_query_file_size(const char *pszFileName, unsigned long *pulFileSize, SPRET *pulComprc);

/* The last status-change time of the file of the logical name, local time. */
KBVDDFC_EXPORT SPRET xdfc_query_file_date(const char *pszFileName, xcsf_tod_info *pcTodInfo, SPRET *pulComprc);

/* Free space (all free blocks) of the file system that holds the path
 * szDriveId (not resolved): in bytes, at most 2147483647 ... */
KBVDDFC_EXPORT SPRET xdfc_disk_space(const char *szDriveId, unsigned long *pulFreeSpace, SPRET *pulComprc);

/* ... and in kilobytes, unclamped. */
KBVDDFC_EXPORT SPRET xdfc_disk_space2(const char *szDriveId, unsigned long *pulFreeSpace, SPRET *pulComprc);

/* ---- Copy ------------------------------------------------------------------ */

/* Copies the source to the target (logical names).  A missing target is
 * created; an existing one is appended to (XDFC_E_APPEND), replaced
 * (XDFC_E_OPEN or XDFC_E_REPLACE) or refused (completion code 22), as is a
 * target that is the source itself. */
KBVDDFC_EXPORT SPRET xdfc_file_copy(const char *pszSrcFileName, const char *pszDestFileName, unsigned int uOpenFlags,
                                    SPRET *pulComprc);

/* ---- Listing --------------------------------------------------------------- */

/* Lists the entries of the directory part of pszSearchFileName whose names
 * match its last component (a wildcard pattern) into the listing file of
 * the logical name pszOutputFileName: an 8-byte count line, then one
 * xdfc_list_file_templ per entry.  No match is result 2, and no file. */
KBVDDFC_EXPORT SPRET xdfc_list_file(const char *pszSearchFileName, const char *pszOutputFileName, SPRET *pulComprc);

/* Stores the matching names, each with its NUL, in the caller's buffer of
 * uBufSize bytes; *puNumberOfFiles gets their number.  A full buffer is
 * result 2 with XDFC_CRC_BUFFER_TOO_SMALL (the names stored stay). */
KBVDDFC_EXPORT SPRET xdfc_list_file_mem(const char *pszSearchFileName, char *pcOutBufferAddr, unsigned int uBufSize,
                                        unsigned int *puNumberOfFiles, SPRET *pulComprc);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KBVDDFC_H */
