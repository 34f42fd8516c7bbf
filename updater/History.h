// The history log of one store directory: time-stamped lines appended to a
// text file and read back one by one.
//
// Line format: "YYYY:MM:DD:hh:mm:ss | message\n", the time in UTC. The file is
// only ever appended to. Writes are unbuffered, so every line is on disk when
// Log returns. Reading and writing share one handle: every write goes to the
// end, every read starts at the stored read position.
//
// Single-threaded; one object per file per process.
#ifndef QN_UPDATER_HISTORY_H
#define QN_UPDATER_HISTORY_H

#include <stdarg.h>
#include <stddef.h>

#include <string>

#include "link/aFile.h"

class DeviceHistory {
 public:
  static const char* const DEFAULT_FILENAME;  // ".history"
  static const char* const TIMESTAMP_FORMAT;  // "%Y:%m:%d:%H:%M:%S"
  static const char* const SEPARATOR;         // " | "

  // No file, threshold 0, read position 0; then Init(filename, level).
  explicit DeviceHistory(const char* filename = nullptr, int level = 0);
  ~DeviceHistory();
  DeviceHistory(const DeviceHistory&) = delete;
  DeviceHistory& operator=(const DeviceHistory&) = delete;

  // Closes the current file; a level >= 0 becomes the threshold (a negative
  // one keeps it); a non-null filename is opened for appending and reading,
  // created when missing. An open failure is logged on DEBUG_History and
  // leaves the object without a file: writes and reads then do nothing.
  void Init(const char* filename, int level);
  void Close();
  bool IsOpen() const { return file_ != nullptr; }

  // Appends one entry (formatted into at most 2047 characters).
  void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // As above, only when level <= the threshold.
  void Log(unsigned int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  // Lets Log(0, "...") pick the level form rather than the format form.
  void Log(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

  // Appends the timestamp, the separator, `text`, and a newline unless the
  // text is empty or already ends with one.
  void WriteLog(const char* text);
  // The current UTC time in TIMESTAMP_FORMAT (at most size bytes).
  void GetTimestamp(char* buf, size_t size);

  // One line (at most size - 1 bytes, newline kept) from the start of the
  // file / from where the previous read stopped; null when nothing is left.
  // A longer line comes back in pieces.
  char* ReadFirstLine(char* buf, size_t size);
  char* ReadNextLine(char* buf, size_t size);

  std::string filename;

 private:
  void VLog(unsigned int level, const char* fmt, va_list args);
  char* ReadLineAt(size_t position, char* buf, size_t size);

  aFileRef file_ = nullptr;
  unsigned int level_ = 0;
  size_t readPosition_ = 0;
};

#endif  // QN_UPDATER_HISTORY_H
