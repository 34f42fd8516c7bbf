// The upgrade command: loader transfer and start, firmware transfer in the
// module's block size, reboot.
#include <stdio.h>
#include <string.h>

#include "app/Log.h"
#include "link/aBytes.h"
#include "link/aTime.h"
#include "link/aVersion.h"
#include "protocol/QuillnodeNetwork.h"

namespace {

const unsigned int kDataChunk = 26;
// Modules from this packed version on validate transfers by checksum.
const unsigned int kChecksumVersionGate = 0x20FFFFFF;

unsigned int BlockAddress(const unsigned char* blockData, unsigned int blockLength) {
  return blockData && blockLength >= 4 ? aBytes_GetBE32(blockData) : 0;
}

// The image length of a block: the bytes after its 4-byte address (0 for a
// block too short to hold an address).
unsigned int ImageLength(unsigned int blockLength) {
  return blockLength >= 4 ? blockLength - 4 : 0;
}

void EraseProgressLine() { Log::FPrintf(stdout, 0, "\r%85s\r", ""); }

}  // namespace

aErr NetworkClass::UpgradeExchange(const unsigned char* request, unsigned char length,
                                   unsigned char replyValue, unsigned char replyLength,
                                   const char* sendFailure, aPacketOwner* reply) {
  reply->reset();
  aErr err = SendPacket(request, length);
  if (err != aErrNone) {
    if (sendFailure) Log::FPrintf(stdout, DEBUG_Network_FIRM, sendFailure, err, GetErrorText(err));
    return err;
  }
  *reply = ReceiveCommandResponsePacket(cmdUPGRADE, replyValue, replyLength, false);
  return aErrNone;
}

aErr NetworkClass::LoaderInit() {
  lastError = aErrNone;
  firmwareVersion = GetVersion();
  Log::FPrintf(stdout, DEBUG_Network_FIRM, "NETWORK: Loader Initialization: (%d.%d.%d)\n",
               aVersion_ParseMajor(firmwareVersion), aVersion_ParseMinor(firmwareVersion),
               aVersion_ParsePatch(firmwareVersion));
  Log::FPrintf(stdout, DEBUG_Network_FIRM,
               "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  const unsigned char request[2] = {cmdUPGRADE, val_UPGRADE_INIT};
  aPacketOwner reply;
  aErr err = UpgradeExchange(request, 2, val_UPGRADE_INIT, 6,
                             "NETWORK: Error sending UPGRADE_INIT (%d)\n", &reply);
  if (err != aErrNone) return err;
  if (!reply || lastError != aErrNone) {
    Log::FPrintf(stdout, DEBUG_Network_FIRM,
                 "NETWORK(INIT): No reply when initializing upgrade.\n");
    lastError = aErrPacket;
    return lastError;
  }
  unsigned int base = aBytes_GetBE32(&reply->data[2]);
  Log::FPrintf(stdout, DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", base, base);
  return aErrNone;
}

aErr NetworkClass::LoaderBlockTransfer(const unsigned char* bytes, unsigned int length,
                                       unsigned int* counter) {
  lastError = aErrNone;
  Log::FPrintf(stdout, DEBUG_Network_FIRM, "\nNETWORK: Loader Block Transfer\n");
  unsigned int remaining = length;
  unsigned int checksum = 0;
  unsigned int offset = 0;
  int repeats = 0;
  aErr err = aErrNone;

  while (remaining > 0 && err == aErrNone) {
    unsigned int n = remaining < kDataChunk ? remaining : kDataChunk;
    Log::FPrintf(stdout, DEBUG_Network_FIRM,
                 "\nNETWORK: LoaderBlockTransfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", n);
    unsigned char request[2 + kDataChunk];
    request[0] = cmdUPGRADE;
    request[1] = val_UPGRADE_DATA;
    memcpy(&request[2], bytes + offset, n);
    aPacketOwner reply;
    err = UpgradeExchange(request, (unsigned char)(n + 2), val_UPGRADE_DATA, 3,
                          "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", &reply);
    if (err != aErrNone) return err;
    if (!reply || lastError != aErrNone) {
      Log::FPrintf(stdout, DEBUG_Network_FIRM,
                   "\nNETWORK(DATA): No reply when initializing upgrade.\n");
      err = aErrPacket;
    } else if (reply->data[2] == n) {
      for (unsigned int i = 0; i < n; ++i) checksum += bytes[offset + i];
      offset += n;
      remaining -= n;
      repeats = 0;
      if (counter) (*counter)++;
      Log::FPrintf(stdout, DEBUG_Network_FIRM,
                   "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", n, remaining,
                   length);
    } else {
      Log::FPrintf(stdout, DEBUG_Network_FIRM,
                   "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", reply->data[2], n);
      // The same bytes go out again, but not for ever.
      if (++repeats > MAX_DATA_REPEATS) {
        Log::FPrintf(stdout, 0,
                     "\nNETWORK: Module keeps acknowledging a wrong byte count; giving up after %d "
                     "repeats.\n",
                     MAX_DATA_REPEATS);
        err = aErrPacket;
      }
    }
  }

  Log::FPrintf(stdout, DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n",
               length - remaining, length);
  if (err != aErrNone) {
    lastError = err;
    return err;
  }

  Log::FPrintf(stdout, DEBUG_Network_FIRM,
               "\nNETWORK: Loader Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  const unsigned char sum[2] = {cmdUPGRADE, val_UPGRADE_SUM};
  aPacketOwner reply;
  if (UpgradeExchange(sum, 2, val_UPGRADE_STATUS, 7, nullptr, &reply) != aErrNone || !reply ||
      lastError != aErrNone) {
    Log::FPrintf(stdout, DEBUG_Network_FIRM,
                 "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    lastError = aErrPacket;
    return lastError;
  }
  unsigned char status = reply->data[2];
  unsigned int moduleSum = aBytes_GetBE32(&reply->data[3]);
  if (firmwareVersion > kChecksumVersionGate) {
    if (status == 0 && moduleSum == checksum) {
      Log::FPrintf(stdout, DEBUG_Network_FIRM,
                   "\nNETWORK: Validate loader transfer [%02X] [%08X == %08X][%d blocks].\n",
                   status, checksum, moduleSum, counter ? *counter : 0);
    } else {
      Log::FPrintf(stdout, 0,
                   "\nNETWORK: Unable to validate loader transfer [%02X] [%08X != %08X].\n", status,
                   checksum, moduleSum);
      lastError = aErrInvalidOption;
      return lastError;
    }
  } else {
    Log::FPrintf(stdout, 0,
                 "\nNETWORK: Unable to validate loader transfer to older software versions "
                 "[%d.%d.%d]\n",
                 aVersion_ParseMajor(firmwareVersion), aVersion_ParseMinor(firmwareVersion),
                 aVersion_ParsePatch(firmwareVersion));
  }
  lastError = aErrNone;
  return aErrNone;
}

aErr NetworkClass::LoaderTransfer(const unsigned char* blockData, unsigned int blockLength) {
  lastError = aErrNone;
  Log::FPrintf(stdout, DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n",
               BlockAddress(blockData, blockLength), ImageLength(blockLength));
  unsigned int counter = 0;
  if (!blockData || blockLength < 4) return LoaderBlockTransfer(blockData, 0, &counter);
  return LoaderBlockTransfer(blockData + 4, blockLength - 4, &counter);
}

aErr NetworkClass::LoaderStart() {
  lastError = aErrNone;
  Log::FPrintf(stdout, DEBUG_Network_FIRM,
               "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  const unsigned char request[2] = {cmdUPGRADE, val_UPGRADE_LOAD};
  aPacketOwner reply;
  aErr err = UpgradeExchange(request, 2, val_UPGRADE_LOAD, 2,
                             "NETWORK: Error sending UPGRADE_LOAD (%d)\n", &reply);
  if (err != aErrNone) return err;
  if (reply && lastError == aErrNone) {
    Log::FPrintf(stdout, DEBUG_Network_FIRM, "NETWORK: Loader validated start \n");
    return aErrNone;
  }

  // The module is restarting into its loader: find it again and wait for
  // the start reply on the new link. A reconnect re-reads the connected
  // module's own address; commands must keep going to the module being
  // updated (behind a router it is not the connected one), so the target
  // address is kept.
  unsigned char target = moduleAddress;
  err = Reconnect(500);
  if (err == aErrNone) moduleAddress = target;
  if (err != aErrNone) {
    Log::FPrintf(stdout, DEBUG_Network_FIRM,
                 "NETWORK: Invalid or reply when starting loader. [%d, %s]\n", err,
                 GetErrorText(err));
    GetSerialNumber();
    lastError = aErrTimeout;
    return lastError;
  }
  lastError = aErrNone;
  reply = ReceiveCommandResponsePacket(cmdUPGRADE, val_UPGRADE_LOAD, 2, false);
  if (reply && lastError == aErrNone) {
    Log::FPrintf(stdout, DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect) \n");
    return aErrNone;
  }
  Log::FPrintf(stdout, DEBUG_Network_FIRM,
               "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", lastError,
               GetErrorText(lastError));
  GetSerialNumber();
  lastError = aErrTimeout;
  return lastError;
}

aErr NetworkClass::TransferPrepare(const unsigned char* blockData, unsigned int blockLength,
                                   unsigned char flags, unsigned short* blockSize) {
  Log::FPrintf(stdout, DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n",
               blockLength, flags, blockSize ? *blockSize : 0);
  unsigned char a[4] = {0, 0, 0, 0};
  if (blockData && blockLength >= 4) memcpy(a, blockData, 4);
  unsigned int address = aBytes_GetBE32(a);
  Log::FPrintf(stdout, DEBUG_Network_FIRM,
               "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X "
               "%02X]} \n",
               flags, a[0], a[1], a[2], a[3]);
  Log::FPrintf(stdout, DEBUG_Network_FIRM, "NETWORK: Address: %d\n", address);
  const unsigned char request[7] = {cmdUPGRADE, val_UPGRADE_PREPARE, flags, a[0], a[1], a[2], a[3]};
  aPacketOwner reply;
  aErr err = UpgradeExchange(request, 7, val_UPGRADE_STATUS, 5,
                             "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", &reply);
  if (err != aErrNone) return err;
  if (!reply) {
    Log::FPrintf(stdout, DEBUG_Network_FIRM,
                 "NETWORK: No response when issuing PREPARE command.\n");
    lastError = aErrTimeout;
    return lastError;
  }
  unsigned char status = reply->data[2];
  unsigned short size = aBytes_GetBE16(&reply->data[3]);
  if (status != 0) {
    Log::FPrintf(stdout, DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    lastError = aErrInvalidOption;
    return lastError;
  }
  if (blockSize) *blockSize = size;
  Log::FPrintf(stdout, DEBUG_Network_FIRM,
               "NETWORK: Loader validated firmware init [%d block size]\n", size);
  // A reply of the wrong length leaves aErrPacket from the wait.
  return lastError;
}

aErr NetworkClass::FirmwareTransfer(const unsigned char* blockData, unsigned int blockLength,
                                    unsigned short blockSize) {
  lastError = aErrNone;
  unsigned int imageLength = ImageLength(blockLength);
  Log::FPrintf(stdout, DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n",
               BlockAddress(blockData, blockLength), imageLength);
  if (blockSize == 0) {
    // Chunks of 0 bytes would never finish the block.
    Log::FPrintf(stdout, 0, "NETWORK: Module reported a firmware block size of 0.\n");
    Log::FPrintf(stdout, 0, "NETWORK: Failed to transfer firmware\n");
    lastError = aErrInvalidOption;
    return lastError;
  }
  unsigned int remaining = imageLength;
  const unsigned char* image = blockData ? blockData + (blockLength >= 4 ? 4 : 0) : nullptr;
  Log::timestamped = false;
  printProgress(blockLength ? (double)(blockLength - remaining) / blockLength : 0.0);
  aErr err = aErrNone;
  unsigned int offset = 0;
  while (remaining > 0 && err == aErrNone) {
    unsigned int n = remaining < blockSize ? remaining : blockSize;
    unsigned int counter = 0;
    err = LoaderBlockTransfer(image + offset, n, &counter);
    if (err != aErrNone) break;
    offset += n;
    remaining -= n;
    printProgress((double)(blockLength - remaining) / blockLength);
    Log::FPrintf(stdout, DEBUG_Network_FIRM,
                 "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n", n, remaining,
                 blockLength);
    err = FirmwareWrite((unsigned short)n);
  }
  EraseProgressLine();
  Log::FPrintf(stdout, 0, "NETWORK: transferred %d of %d bytes\n", blockLength - remaining,
               blockLength);
  if (err != aErrNone) Log::FPrintf(stdout, 0, "NETWORK: Failed to transfer firmware\n");
  lastError = err;
  return err;
}

aErr NetworkClass::FirmwareWrite(unsigned short byteCount) {
  Log::FPrintf(stdout, DEBUG_Network_FIRM,
               "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n", byteCount);
  unsigned char request[4] = {cmdUPGRADE, val_UPGRADE_WRITE, 0, 0};
  aBytes_PutBE16(&request[2], byteCount);
  aPacketOwner reply;
  aErr err = UpgradeExchange(request, 4, val_UPGRADE_STATUS, 3,
                             "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", &reply);
  if (err != aErrNone) return err;
  if (!reply || lastError != aErrNone || reply->data[2] != 0) {
    Log::FPrintf(stdout, DEBUG_Network_FIRM,
                 "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    lastError = aErrInvalidOption;
    return lastError;
  }
  Log::FPrintf(stdout, DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
  return aErrNone;
}

aErr NetworkClass::LoaderReboot() {
  Log::FPrintf(stdout, DEBUG_Network_FIRM,
               "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT} \n");
  const unsigned char request[2] = {cmdUPGRADE, val_UPGRADE_REBOOT};
  aErr err = SendPacket(request, 2);
  if (err != aErrNone) {
    Log::FPrintf(stdout, DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    return err;
  }
  aTime_MSSleep(25);
  return aErrNone;
}
