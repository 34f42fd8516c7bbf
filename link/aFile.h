// Files: a checked handle over standard I/O.
#ifndef QN_LINK_AFILE_H
#define QN_LINK_AFILE_H

#include <stddef.h>
#include <stdio.h>

#include "link/aErr.h"

typedef enum {
  aFileModeRead = 0,    // "rb"
  aFileModeWrite = 1,   // "wb": creates or truncates
  aFileModeAppend = 2,  // "ab+", positioned at the end; reads allowed
  aFileModeUnknown = 3  // rejected
} aFileMode;

#define aFILE_TAG 0xFEEDu
#define aFILE_MAX_PATH 4096

typedef struct aUnixFile {
  FILE* fp;
  aFileMode mode;
  unsigned int tag;  // aFILE_TAG while open, 0 after close
} aUnixFile;

typedef aUnixFile* aFileRef;

enum { aSeekStart = 0, aSeekCurrent = 1, aSeekEnd = 2 };

bool aFile_Exists(const char* path);
// Null on any failure; no reason is reported.
aFileRef aFile_Open(const char* path, aFileMode mode);
// Nulls the caller's handle whenever `handle` is non-null.
aErr aFile_Close(aFileRef* handle);
aErr aFile_Read(aFileRef file, unsigned char* buffer, size_t count, size_t* countRead);
aErr aFile_Write(aFileRef file, const unsigned char* data, size_t count, size_t* countWritten);
aErr aFile_Seek(aFileRef file, long offset, int origin);
aErr aFile_GetSize(aFileRef file, size_t* size);
aErr aFile_GetPosition(aFileRef file, size_t* position);
aErr aFile_Delete(const char* path);
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);
aErr aFile_SetUnbuffered(aFileRef file);
aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif  // QN_LINK_AFILE_H
