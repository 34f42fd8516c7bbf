#include "link/aErr.h"

const char* const aErr_TEXT[aErrUnknown + 1] = {"Success, no error",
                                                "Memory allocation",
                                                "Invalid parameter",
                                                "Not found",
                                                "File name too long",
                                                "Resource busy",
                                                "Input/Output error",
                                                "Invalid Mode",
                                                "Write error",
                                                "Read error",
                                                "End of file",
                                                "Not ready, no bytes available",
                                                "Insufficient permissions",
                                                "Value out of range",
                                                "Invalid Size",
                                                "Buffer/queue overrun",
                                                "Parse error",
                                                "Configuration error",
                                                "Timeout occurred",
                                                "Initialization error",
                                                "Invalid version",
                                                "Functionality unimplemented",
                                                "Duplicate request",
                                                "Cancelation occured, or did not complete",
                                                "Packet byte invalid",
                                                "Connection error",
                                                "Index out of range",
                                                "Quillnode command to short",
                                                "Invalid entity error",
                                                "Invalid option code",
                                                "Resource unavailable",
                                                "Media error",
                                                "Unknown error"};

const char* aErr_Text(aErr error) {
  if (error <= (aErr)aErrUnknown) return aErr_TEXT[error];
  return aErr_TEXT[aErrUnknown];
}
