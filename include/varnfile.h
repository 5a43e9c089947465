/* varnfile: ordered transaction files of items.
 *
 * An item is a 16-bit command id, a 16-bit extra id, a 32-bit value and up to
 * 65,535 bytes of data guarded by a CRC-16. Files are appended to, read
 * forwards and backwards, changed in place, and may store their data
 * compressed. Every call that works on a file returns a 16-bit result code,
 * 0 for success. All calls are thread-safe: the library serialises them.
 *
 * A file is named by a path, or by "MEMORY$" (any letter case) for a file
 * that lives in memory until it is closed.
 *
 * Handles are small numbers: a closed handle's number is given to the next
 * file opened, so a handle kept after its close reaches that other file.
 */
#ifndef VARNFILE_H_
#define VARNFILE_H_

#include <stdint.h>

/* VARNFILE_API marks the exports. On Windows the DLL's export table comes
 * from its .def file, so callers need no import attribute. */
#if defined(VARNFILE_BUILDING) && !defined(_WIN32)
#define VARNFILE_API __attribute__((visibility("default")))
#else
#define VARNFILE_API
#endif

/* VARNFILE_CALL is the calling convention of the exports and of the
 * callbacks the library calls. 32-bit Windows uses __stdcall, the Windows
 * API's convention, unless the library was built with VARNFILE_CDECL (CMake
 * option VARNFILE_CDECL), which its callers must then define as well.
 * Everywhere else there is one convention. */
#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86)) && !defined(VARNFILE_CDECL)
#define VARNFILE_CALL __stdcall
#else
#define VARNFILE_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define VARNFILE_OK 0
#define VARNFILE_E_POSITION 257          /* position lies inside the file header */
#define VARNFILE_E_BUFFER_TOO_SMALL 258  /* caller's buffer too small for the string or data */
#define VARNFILE_E_INVALID_ARGUMENT 260  /* null pointer, value out of range, name too long */
#define VARNFILE_E_END_INCONSISTENT 261  /* the file's end is inconsistent at close */
#define VARNFILE_E_END_OF_FILE 262       /* no further item, or an end marker */
#define VARNFILE_E_HEADER_UNREADABLE 263 /* the file header cannot be read */
#define VARNFILE_E_NOT_TRANSACTION_FILE 264 /* wrong magic, never closed, or bad stream */
#define VARNFILE_E_VERSION 265           /* format version outside 264..272 */
#define VARNFILE_E_AGED 266              /* the file is older than its aging limit */
#define VARNFILE_E_CRC 267               /* item data fails its CRC check */
#define VARNFILE_E_CANNOT_REPLACE 268    /* length differs, or the file is compressed */
#define VARNFILE_E_NO_PREVIOUS 269       /* no item before the current one */
#define VARNFILE_E_RESERVED_ID 270       /* command id 0xFF00 or above is reserved */
#define VARNFILE_E_NO_MEMORY 272         /* out of memory */
#define VARNFILE_E_INVALID_HANDLE 273    /* no open file has this handle */
#define VARNFILE_E_OPEN 274              /* file missing, held by another open, or cannot be opened */
#define VARNFILE_E_CREATE 275            /* file cannot be created */
#define VARNFILE_E_SEEK 276              /* seek failed */
#define VARNFILE_E_READ 277              /* read failed or came up short */
#define VARNFILE_E_WRITE 278             /* write or close failed */
#define VARNFILE_E_REMOVE 279            /* file cannot be removed */
#define VARNFILE_E_ACCESS 280            /* access denied (no call returns it: an
                                            open that may not read gives 274, a
                                            create that may not write 275) */
#define VARNFILE_E_NO_UNIQUE_NAME 281    /* no unique file name could be found */
#define VARNFILE_E_MKDIR 282             /* a directory cannot be created */
#define VARNFILE_E_METHOD_LOCKED 283     /* method cannot change: the file holds items */

/* Compression methods of a file's item data. */
#define VARNFILE_METHOD_NONE 0
#define VARNFILE_METHOD_PREDICTOR 1
#define VARNFILE_METHOD_CHAINED_DEFLATE 2 /* the method of every new file */
#define VARNFILE_METHOD_CHAINED_PREDICTOR 3
#define VARNFILE_METHOD_DEFLATE 4

/* Command identifiers 0xFF00 and above belong to the library. */
#define VARNFILE_CMD_END_MARKER 0xFF02u
#define VARNFILE_CMD_DELETED 0xFF04u

/* Sizes. */
#define VARNFILE_HEADER_SIZE 174
#define VARNFILE_FIRST_ITEM_POSITION 174
#define VARNFILE_MAX_ITEM_LENGTH 65535

/* nameMode of VARNFileCreateEx and access of VARNFileOpenEx. */
#define VARNFILE_NAME_EXACT 0
#define VARNFILE_NAME_UNIQUE 1
#define VARNFILE_ACCESS_READ 0
#define VARNFILE_ACCESS_READ_WRITE 1

/* The library version; also the format version written into new files. */
#define VARNFILE_VERSION 272

/* Returns the next candidate number for an invented file name, given the
 * previous candidate (0 on the first call); 0 stops the search. It runs while
 * the library's lock is held: a call into the library from the same thread
 * works, but waiting there for another thread that calls the library never
 * ends. */
typedef uint32_t(VARNFILE_CALL* NameSequenceProc)(uint32_t previous, uint32_t procParam);

/* Library version, 272. */
VARNFILE_API uint32_t VARNFILE_CALL VARNFileVersion(void);
/* Does nothing; returns 1. */
VARNFILE_API uint32_t VARNFILE_CALL VARNFileRegister(void);
/* Does nothing. */
VARNFILE_API void VARNFILE_CALL VARNFileUnRegister(void);
/* Not supported: always 264. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileCreateFromFileHandle(uint32_t a, uint32_t b, uint32_t c, uint32_t d);

/* Creates a file with an invented 8-hex-digit name in directory (null or ""
 * for the current one). */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileCreate(uint32_t* handle, const char* directory, const char* extension);
/* Creates a file: nameMode 1 invents a name in the directory `name`, any
 * other mode creates exactly `name` (replacing an existing file). Missing
 * directories on the way are made, and stay when the create then fails. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileCreateEx(uint32_t* handle, uint16_t nameMode, const char* name,
                                       const char* extension, const char* prefix,
                                       NameSequenceProc proc, uint32_t procParam);
/* Opens an existing file for reading and writing. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileOpen(uint32_t* handle, const char* name, uint32_t ignored);
/* Opens an existing file; access 1 reads and writes, anything else reads. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileOpenEx(uint32_t* handle, uint16_t access, const char* name,
                                     uint32_t ignored);
/* Writes back, finishes and closes the file; the handle is freed in any case. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileClose(uint32_t handle);
/* Closes without finishing and removes the file; the handle is freed. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileAbort(uint32_t handle);
/* Removes a disk file by name. Returns 0 whether or not the file could be
 * removed: also when it did not exist, is open (here or elsewhere), or its
 * directory may not be written. Check for the file afterwards if it
 * matters. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileDelete(const char* name, uint32_t ignored);

/* Sets the compression method (0..4) while the file holds no items. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileSetCompression(uint32_t handle, uint16_t method);
/* Sets the cache limits and the read and write buffer sizes (each buffer
 * size at most 0x7FFFFFFF, else 260; the cache's byte limit takes any
 * value). Appended bytes still buffered are written first, so a failed write
 * shows here (278). */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileSetParameters(uint32_t handle, uint16_t maxCachedItems,
                                            uint32_t maxCachedBytes, uint32_t readBufferSize,
                                            uint32_t writeBufferSize);
/* Copies the file's name into buffer of size bytes. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileGetFileName(uint32_t handle, char* buffer, uint16_t size);
/* Reads the caller-defined flags of the header. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileGetFlags(uint32_t handle, uint32_t* flags);
/* Sets the caller-defined flags of the header. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileSetFlags(uint32_t handle, uint32_t flags);
/* Copies the description (at most 64 bytes) into buffer. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileGetDescription(uint32_t handle, char* buffer, uint16_t size);
/* Sets the description (at most 64 bytes and a terminating NUL). */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileSetDescription(uint32_t handle, const char* text);
/* Restamps the header with the current time, restarting its aging. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileResetAging(uint32_t handle);
/* Copies up to 174 bytes of the header image into buffer (size 1..174). */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileReadHeader(uint32_t handle, uint8_t* buffer, uint16_t size);
/* Replaces the first size bytes (1..174) of the header; written at close.
 * The close puts back a valid version, the compression method and the
 * closed-properly mark, but not the magic "KVRW" in bytes 0..3: a buffer
 * that does not start with it leaves a file that no longer opens (264).
 * Change a field by reading the header, changing it and writing it back. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileWriteHeader(uint32_t handle, const uint8_t* buffer, uint16_t size);
/* Chooses the clock for time stamps: mode 1 asks the server clock. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileSetDateTimeOptions(uint16_t mode, uint32_t param);

/* Returns the cursor position. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileGetPosition(uint32_t handle, uint32_t* position);
/* Moves the cursor to a saved position. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileSetPosition(uint32_t handle, uint32_t position);
/* Moves the cursor to the end of the file (where the next item goes). */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileSeekToEnd(uint32_t handle, uint32_t* position);
/* Moves the cursor to the next live item. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileSkipNext(uint32_t handle);
/* Moves the cursor to the previous live item. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileSkipPrev(uint32_t handle);

/* Reads the identifiers of the item at the cursor. A deleted item there is
 * passed over: the cursor moves onto the next live item and stays on it
 * (262, cursor at the end, when there is none). */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileReadCmdID(uint32_t handle, uint16_t* commandId, uint16_t* extraId,
                                        uint32_t* extraValue);
/* Like VARNFileReadCmdID, and also the data length. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileReadCmdIDEx(uint32_t handle, uint16_t* commandId, uint16_t* extraId,
                                          uint32_t* extraValue, uint16_t* length);
/* Reads the item at the cursor into buffer (*length: room in, bytes out) and
 * moves the cursor to the next record. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileReadItem(uint32_t handle, uint16_t* commandId, uint16_t* extraId,
                                       uint32_t* extraValue, uint16_t* length, uint8_t* buffer);
/* Appends an item at the end of the file; the cursor stays. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileAddItem(uint32_t handle, uint16_t commandId, uint16_t extraId,
                                      uint32_t extraValue, uint16_t length, const uint8_t* data);
/* Replaces the record at the cursor: its ids and value, and with data also
 * its data (same length, uncompressed files only, else 268). Whatever the
 * record holds is replaced, so a deleted item becomes live again. At the end
 * of the file this appends. The cursor stays. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileUpdateItem(uint32_t handle, uint16_t commandId, uint16_t extraId,
                                         uint32_t extraValue, uint16_t length,
                                         const uint8_t* data);
/* Marks the item at the cursor as deleted. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileDeleteItem(uint32_t handle);
/* Copies every record of the source file, in file order, into the target
 * file from its first record on: into an empty target, a copy re-encoded with
 * the target's method. A target's own records are replaced in place where
 * the lengths allow (268 where they do not, or under compression); past its
 * end the copy appends. */
VARNFILE_API uint16_t VARNFILE_CALL VARNFileDuplicate(uint32_t targetHandle, uint32_t sourceHandle);

#ifdef __cplusplus
}
#endif

#endif /* VARNFILE_H_ */
