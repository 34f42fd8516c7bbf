// Serial stream internals shared with its tests.
#ifndef QN_LINK_ASERIALINTERNAL_H
#define QN_LINK_ASERIALINTERNAL_H

#include <termios.h>

#include "link/aStream.h"

// The working terminal settings for a port whose current settings are
// `saved`: raw, non-canonical, no echo, no flow control, reads that return at
// once (VMIN = VTIME = 0), the given line format and speed. Some drivers (a
// pseudo-terminal, for one) ignore part of it, so this is checked on its own.
// 0, or aErrIO when the speed cannot be set.
aErr aSerial_MakeSettings(const struct termios* saved, aSerial_Baud baudSelector, bool parity,
                          aSerial_Bits dataBits, aSerial_Stop_bits stopBits,
                          struct termios* working);

#endif  // QN_LINK_ASERIALINTERNAL_H
