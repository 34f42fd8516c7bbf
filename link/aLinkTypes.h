// Link types and the record that describes one discovered module.
#ifndef QN_LINK_ALINKTYPES_H
#define QN_LINK_ALINKTYPES_H

#include <stdint.h>

#include "link/aErr.h"

// How a module is reached. A plain integer type: the command line marks the
// recovery path with 255, which is not one of the values below.
typedef uint32_t linkType;
enum {
  LINK_INVALID = 0,
  LINK_USB = 1,
  LINK_TCPIP = 2,
  LINK_RECOVER = 3,  // serial boot loader path; never discovered by the link library
};

// One discovered module. Every field is 32-bit unsigned; fields other than
// `type` start at zero.
//   USB:   serialNumber from the USB serial string, module/router/routerSerialNumber 0,
//          model = low byte of the product id, linkAddress = serialNumber, port unset (0).
//   TCPIP: serialNumber, module, port and model from the discovery reply;
//          router = module, routerSerialNumber = serialNumber,
//          linkAddress = IPv4 address of the reply's sender in network byte order.
typedef struct linkSpec {
  uint32_t type;
  uint32_t serialNumber;
  uint32_t module;
  uint32_t router;
  uint32_t routerSerialNumber;
  uint32_t model;
  uint32_t linkAddress;
  uint32_t port;
} linkSpec;

// A new spec owned by the caller (release with aLinkSpec_Destroy), or null
// when memory runs out.
linkSpec* aLinkSpec_Create(linkType type);
// Frees the link spec and nulls the caller's pointer; aErrParam for a null handle
// or a null spec.
aErr aLinkSpec_Destroy(linkSpec** spec);

#endif  // QN_LINK_ALINKTYPES_H
