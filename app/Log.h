// Console output and diagnostic channels.
//
// Channel 0 is the user's console and is always printed; every other channel
// is one bit of a process-wide mask set with "-X". A message on a channel
// that is not active costs one mask test; its arguments are not formatted.
#ifndef QN_APP_LOG_H
#define QN_APP_LOG_H

#include <stdio.h>

enum {
  DEBUG_Updater = 0x00000001,
  DEBUG_History = 0x00000002,
  DEBUG_Attributes = 0x00000004,
  DEBUG_BirdFile = 0x00000008,
  DEBUG_Network_Unused = 0x00000010,  // listed in the help text; nothing prints on it
  DEBUG_ServerComm = 0x00000020,
  DEBUG_Network = 0x00000100,
  DEBUG_Network_SR = 0x00000200,
  DEBUG_Network_FIRM = 0x00000400,
  DEBUG_Network_MATCH = 0x00000800,
  DEBUG_NXPSerial = 0x00001000,
  DEBUG_NXPSerial_E = 0x00002000,
  DEBUG_NXPSerial_SR = 0x00004000,
  DEBUG_APP = 0x00010000,
  DEBUG_iMXSerial = 0x10000000
};

class Log {
 public:
  static unsigned int package_bitmask;
  static bool timestamped;
  static const char* const TIMESTAMP_FORMAT;  // "%Y:%m:%d:%H:%M:%S"
  static const char* const SEPARATOR;         // " | "

  static void ActivatePackage(unsigned int mask);
  static void DeactivatePackage(unsigned int mask);
  static bool IsActive(unsigned int mask);

  // printf-style output to `file`, filtered by `channel` (0: always).
  // A message is formatted into at most 2047 characters; longer ones are cut.
  static void FPrintf(FILE* file, unsigned int channel, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  // Also append every printed message of a non-zero channel to `path`
  // ("-k"). Returns false when the file cannot be opened for appending.
  // A null path closes the file.
  static bool SetLogFile(const char* path);
};

// Draws "\r[====>   ] ( 50% ) " on standard output; the caller ends the line.
void printProgress(double fraction);

#endif  // QN_APP_LOG_H
