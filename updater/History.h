// The history log of one store directory: time-stamped lines appended to a
// text file and read back one by one.
//
// Line format: "YYYY:MM:DD:hh:mm:ss | message\n", the time in UTC. The file is
// only ever appended to, one whole entry per write(2) under an advisory lock
// (flock), so entries of processes sharing the file never interleave and a
// write that the disk cuts short is taken back: an entry is in the file whole
// or not at all. Every read starts at the stored read position and goes
// through a buffer. A ".history" that is a symbolic link or not a regular
// file is not opened.
//
// Single-threaded; one object per file per process.
#ifndef QN_UPDATER_HISTORY_H
#define QN_UPDATER_HISTORY_H

#include <stdarg.h>
#include <stddef.h>

#include <string>
#include <vector>

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
  bool IsOpen() const { return fd_ >= 0; }

  // Appends one entry (formatted into at most 2047 characters); the result
  // is that of WriteLog (true when the level keeps the entry out).
  bool Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // As above, only when level <= the threshold.
  bool Log(unsigned int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  // Lets Log(0, "...") pick the level form rather than the format form.
  bool Log(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

  // Appends the timestamp, the separator, `text`, and a newline unless the
  // text is empty or already ends with one. False when the entry could not be
  // written whole (LastError() then holds the system's reason) or there is
  // no file.
  bool WriteLog(const char* text);
  int LastError() const { return lastError_; }
  // The current UTC time in TIMESTAMP_FORMAT (at most size bytes).
  void GetTimestamp(char* buf, size_t size);

  // One line (at most size - 1 bytes, newline kept) from the start of the
  // file / from where the previous read stopped; null when nothing is left.
  // A longer line comes back in pieces.
  char* ReadFirstLine(char* buf, size_t size);
  char* ReadNextLine(char* buf, size_t size);

  std::string filename;

 private:
  bool VLog(unsigned int level, const char* fmt, va_list args);
  char* ReadLineAt(size_t position, char* buf, size_t size);

  int fd_ = -1;
  unsigned int level_ = 0;
  size_t readPosition_ = 0;
  int lastError_ = 0;
  // Bytes of the file from offset bufferStart_ on, as last read.
  std::vector<char> buffer_;
  size_t bufferStart_ = 0;
};

#endif  // QN_UPDATER_HISTORY_H
