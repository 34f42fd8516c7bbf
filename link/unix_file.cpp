// Files: a tagged handle over standard I/O.
#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/aFile.h"

namespace {

bool sValid(aFileRef file) { return file != nullptr && file->tag == aFILE_TAG; }

bool sCanRead(aFileRef file) {
  return file->mode == aFileModeRead || file->mode == aFileModeAppend;
}

bool sCanWrite(aFileRef file) {
  return file->mode == aFileModeWrite || file->mode == aFileModeAppend;
}

const char* sOpenMode(aFileMode mode) {
  switch (mode) {
    case aFileModeRead:
      return "rb";
    case aFileModeWrite:
      return "wb";
    case aFileModeAppend:
      return "ab+";
    default:
      return nullptr;
  }
}

}  // namespace

bool aFile_Exists(const char* path) {
  if (!path || strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) return false;
  struct stat st;
  if (stat(path, &st) != 0) return false;
  return !S_ISDIR(st.st_mode);
}

aFileRef aFile_Open(const char* path, aFileMode mode) {
  if (!path || !*path || strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) return nullptr;
  const char* how = sOpenMode(mode);
  if (!how) return nullptr;

  aFileRef file = (aFileRef)calloc(1, sizeof(aUnixFile));
  if (!file) return nullptr;
  file->fp = fopen(path, how);
  if (!file->fp) {
    // Keep the system's reason for callers that report errno.
    int saved = errno;
    free(file);
    errno = saved;
    return nullptr;
  }
  file->mode = mode;
  file->tag = aFILE_TAG;
  if (mode == aFileModeAppend && aFile_Seek(file, 0, aSeekEnd) != aErrNone) {
    int saved = errno;
    aFile_Close(&file);
    errno = saved;
    return nullptr;
  }
  return file;
}

aErr aFile_Close(aFileRef* handle) {
  if (!handle) return aErrParam;
  aFileRef file = *handle;
  *handle = nullptr;
  if (!sValid(file)) return aErrParam;
  aErr result = fclose(file->fp) == 0 ? aErrNone : aErrIO;
  file->tag = 0;
  file->fp = nullptr;
  free(file);
  return result;
}

aErr aFile_Read(aFileRef file, unsigned char* buffer, size_t count, size_t* countRead) {
  if (!sValid(file) || !buffer) return aErrParam;
  if (!sCanRead(file)) return aErrMode;
  size_t n = fread(buffer, 1, count, file->fp);
  if (countRead) *countRead = n;
  if (n == 0 && count != 0) return aErrEOF;
  return aErrNone;
}

aErr aFile_Write(aFileRef file, const unsigned char* data, size_t count, size_t* countWritten) {
  if (!sValid(file) || (!data && count != 0)) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;
  size_t n = count ? fwrite(data, 1, count, file->fp) : 0;
  if (countWritten) *countWritten = n;
  if (n == 0 && count != 0) return aErrIO;
  return aErrNone;
}

aErr aFile_Seek(aFileRef file, long offset, int origin) {
  if (!sValid(file)) return aErrParam;
  size_t size = 0;
  if (aFile_GetSize(file, &size) != aErrNone) return aErrIO;

  long base;
  switch (origin) {
    case aSeekStart:
      base = 0;
      break;
    case aSeekCurrent:
      base = ftell(file->fp);
      if (base < 0) return aErrIO;
      break;
    case aSeekEnd:
      base = (long)size;
      break;
    default:
      return aErrParam;
  }
  // Both terms are bounded by the file size and LONG_MAX, so check before adding.
  if ((offset < 0 && offset < -base) || (offset > 0 && offset > LONG_MAX - base)) {
    return aErrRange;
  }
  long target = base + offset;
  if (target < 0 || (unsigned long)target > size) return aErrRange;
  if (fseek(file->fp, target, SEEK_SET) != 0) return aErrIO;
  return aErrNone;
}

aErr aFile_GetSize(aFileRef file, size_t* size) {
  if (!sValid(file) || !size) return aErrParam;
  *size = 0;
  long here = ftell(file->fp);
  if (here < 0) return aErrIO;
  if (fseek(file->fp, 0, SEEK_END) != 0) return aErrIO;
  long end = ftell(file->fp);
  if (fseek(file->fp, here, SEEK_SET) != 0 || end < 0) return aErrIO;
  *size = (size_t)end;
  return aErrNone;
}

aErr aFile_GetPosition(aFileRef file, size_t* position) {
  if (!sValid(file) || !position) return aErrParam;
  long here = ftell(file->fp);
  if (here < 0) return aErrIO;
  *position = (size_t)here;
  return aErrNone;
}

aErr aFile_Delete(const char* path) {
  if (!path) return aErrParam;
  if (strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH) return aErrFileNameLength;
  if (unlink(path) == 0) return aErrNone;
  switch (errno) {
    case ENOENT:
      return aErrNotFound;
    case EACCES:
      return aErrPermission;
    default:
      return aErrIO;
  }
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length) {
  if (length) *length = 0;
  if (buffer && size > 0) buffer[0] = '\0';
  // A buffer of one byte could never receive a character; a caller looping
  // until end of file would never get there.
  if (!sValid(file) || !buffer || size < 2) return aErrParam;
  if (!sCanRead(file)) return aErrMode;

  int chunk = size > (size_t)INT_MAX ? INT_MAX : (int)size;
  if (!fgets(buffer, chunk, file->fp)) {
    buffer[0] = '\0';
    return feof(file->fp) ? aErrEOF : aErrIO;
  }
  size_t n = strlen(buffer);
  if (length) *length = n;
  if (n == (size_t)chunk - 1 && buffer[n - 1] != '\n') return aErrOverrun;
  return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file) {
  if (!sValid(file)) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;
  if (setvbuf(file->fp, nullptr, _IONBF, 0) != 0) return aErrMode;
  return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char* format, ...) {
  if (!sValid(file) || !format) return aErrParam;
  if (!sCanWrite(file)) return aErrMode;
  va_list args;
  va_start(args, format);
  int n = vfprintf(file->fp, format, args);
  va_end(args);
  return n < 0 ? aErrIO : aErrNone;
}
