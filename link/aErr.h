// Error codes of the link library and of most operations above it, and their
// texts. 0 is success; every other value names one failure.
#ifndef QN_LINK_AERR_H
#define QN_LINK_AERR_H

typedef unsigned int aErr;

enum {
  aErrNone = 0,
  aErrMemory = 1,
  aErrParam = 2,
  aErrNotFound = 3,
  aErrFileNameLength = 4,
  aErrBusy = 5,
  aErrIO = 6,
  aErrMode = 7,
  aErrWrite = 8,
  aErrRead = 9,
  aErrEOF = 10,
  aErrNotReady = 11,
  aErrPermission = 12,
  aErrRange = 13,
  aErrSize = 14,
  aErrOverrun = 15,
  aErrParse = 16,
  aErrConfiguration = 17,
  aErrTimeout = 18,
  aErrInitialization = 19,
  aErrVersion = 20,
  aErrUnimplemented = 21,
  aErrDuplicate = 22,
  aErrCancel = 23,
  aErrPacket = 24,
  aErrConnection = 25,
  aErrIndexRange = 26,
  aErrShortCommand = 27,
  aErrInvalidEntity = 28,
  aErrInvalidOption = 29,
  aErrResource = 30,
  aErrMedia = 31,
  aErrUnknown = 32,
  // An unexpected system error from the platform layer; it has no text of
  // its own and displays as "Unknown error".
  aErrUnexpected = 34
};

// The texts of the codes aErrNone to aErrUnknown, indexed by code.
extern const char* const aErr_TEXT[aErrUnknown + 1];

// The text of `error`; any code above aErrUnknown reads "Unknown error".
const char* aErr_Text(aErr error);

#endif  // QN_LINK_AERR_H
