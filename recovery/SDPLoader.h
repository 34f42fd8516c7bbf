// Client of the i.MX RT1050 boot ROM's serial download protocol (SDP): checks
// that the ROM answers, reads the chip's fingerprint from two fuse words,
// downloads a loader into RAM and jumps to it.
//
// Packets are byte vectors whose first byte is the HID report id (1 for a
// command, 2 for data); the serial transport drops that byte on the wire.
// Commands are 17 bytes: report id, type (2), address (4), format (1),
// data count (4), data (4), reserved (1), multi-byte fields big-endian.
// Answers carry the ROM's HAB state and then a 32-bit little-endian response
// word; where the word sits depends on the transport (getDataFromBuffer).
//
// Ownership: an SDPLoader owns the transport given to setLoader and deletes it
// (closing the port or HID handle) when it is destroyed. Thread-safety: none;
// one thread uses an object and its transport at a time. Every wait is
// bounded: a silent ROM costs about half a second per operation.
#ifndef QN_RECOVERY_SDPLOADER_H
#define QN_RECOVERY_SDPLOADER_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <vector>

#include "link/aErr.h"

struct hid_device_;

namespace IMX1050 {
const uint16_t VID = 0x1FC9;                     // USB vendor id of the ROM's HID device
const uint16_t PID = 0x0130;                     // USB product id of the RT1050 serial downloader
const uint32_t OCOTP_BASE_ADDRESS = 0x401F4000;  // fuse controller registers
const uint32_t CFG0_OFFSET = 0x410;              // fingerprint, low word
const uint32_t CFG1_OFFSET = 0x420;              // fingerprint, high word
// Where the loader's image vector table is when a firmware file names no
// entry point of its own.
const uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;
}  // namespace IMX1050

// The byte transport under an SDPLoader.
class SDPLoader_Interface {
 public:
  virtual ~SDPLoader_Interface() {}
  // Opens the port or device; true when it is ready for traffic.
  virtual bool init() = 0;
  // Sends one packet (report id first); the count the transport wrote, which
  // is transport specific (see the implementations), or -1.
  virtual ssize_t writeData(const std::vector<uint8_t>& packet) = 0;
  // Appends what the ROM sent to `reply` and returns the number of bytes
  // appended: with waitMs 0 only what is there already, otherwise after a
  // wait of about waitMs for the answer (see the implementations). Every
  // wait is bounded.
  virtual ssize_t readData(std::vector<uint8_t>& reply, unsigned waitMs) = 0;
  // ORs the response word number `offset` of a complete reply into `value`;
  // false, leaving `value` alone, when the reply does not have the shape of
  // a complete answer.
  virtual bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset,
                                 unsigned& value) = 0;
  // Brings a transport whose commands may have fallen out of step with the
  // ROM's framing back into step; true when the ROM is known to wait for
  // the first byte of a command now. Framed transports have nothing to do.
  virtual bool realign() { return false; }
};

class SDPLoader {
 public:
  // Response word that ends a successful WRITE_FILE.
  static const uint32_t WRITE_FILE_COMPLETE = 0x88888888;

  SDPLoader() {}
  ~SDPLoader();
  SDPLoader(const SDPLoader&) = delete;
  SDPLoader& operator=(const SDPLoader&) = delete;

  // Takes ownership of `loader`. False (and the caller keeps it) when it is
  // null or a transport is already set.
  bool setLoader(SDPLoader_Interface* loader);
  // 1 when no transport is set; aErrIO when the transport cannot be opened.
  aErr init();
  // ORs CFG0 into the low and CFG1 into the high 32 bits of `value` (the
  // caller zeroes it). aErrParam when the ROM does not answer, aErrMode when
  // a fuse read gets no proper reply.
  aErr getFingerprint(uint64_t& value);
  // Writes `data` to RAM at `address`: 0 on success; 2 when the ROM does not
  // answer; 3 when it answers in the middle of the transfer; 4 when the final
  // status is not WRITE_FILE_COMPLETE.
  int writeLoader(std::vector<uint8_t> data, uint32_t address);
  // Jumps to the image vector table at `address`; the ROM's answer is read
  // and not examined.
  void startLoader(uint32_t address);

 private:
  friend class SDPLoaderPeer;  // the tests' access to the packet builders

  // Pads a command to 17 bytes with zeros.
  static void _fillCommand(std::vector<uint8_t>& packet);
  static void _createStatusPacket(std::vector<uint8_t>& packet);
  static void _create4ByteReadRegisterPacket(std::vector<uint8_t>& packet, uint32_t address);
  static void _createWriteFilePacket(std::vector<uint8_t>& packet, uint32_t address,
                                     uint32_t count);
  static void _createJumpPacket(std::vector<uint8_t>& packet, uint32_t address);

  bool _isConnectionAlive();
  bool _expectResponse(const std::vector<uint8_t>& reply);
  bool _expectSuccess(const std::vector<uint8_t>& reply);
  static void _printBuffer(const std::vector<uint8_t>& packet);
  // writeData, then a read of up to waitMs into a fresh `reply`; logged.
  ssize_t _exchange(const std::vector<uint8_t>& packet, std::vector<uint8_t>& reply,
                    unsigned waitMs);
  aErr _readWord(uint32_t address, unsigned& word);

  SDPLoader_Interface* loader_ = nullptr;  // owned
};

// SDP over a serial port (termios), 115200 8N1, raw and non-blocking.
// Ownership: the port is opened by init and closed by the destructor; the
// port name is the caller's text and must outlive the transport.
struct PrivateSerial_SDPLoader;
class Serial_SDPLoader : public SDPLoader_Interface {
 public:
  // A reply is cut after this many bytes, so a babbling line cannot keep a
  // read going for ever; a complete answer is 8 bytes.
  static const size_t MAX_REPLY_BYTES = 4096;
  // A write that makes no progress for this long gives up.
  static const unsigned WRITE_STALL_MS = 1000;

  explicit Serial_SDPLoader(const char* portName);
  ~Serial_SDPLoader() override;
  Serial_SDPLoader(const Serial_SDPLoader&) = delete;
  Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

  // Opens the port; false when it cannot be opened or is not a terminal.
  bool init() override;
  // Writes the packet without its report id; returns the bytes written
  // (packet size - 1 unless the line stalled for WRITE_STALL_MS), -1 when
  // the port is closed or takes nothing at all.
  ssize_t writeData(const std::vector<uint8_t>& packet) override;
  // waitMs 0: takes the bytes that are there, without waiting. Otherwise
  // sleeps waitMs and takes what came; while nothing came, waits on until
  // the bytes written since the last such read can have gone out at 115200
  // baud, plus waitMs; then takes the rest of the answer until the line is
  // quiet for 10 ms. At most MAX_REPLY_BYTES either way.
  ssize_t readData(std::vector<uint8_t>& reply, unsigned waitMs) override;
  // The HAB state is 4 bytes; word `offset` (0..15) is read at byte
  // offset + 4 and needs at least (offset + 2) * 4 bytes.
  bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset,
                         unsigned& value) override;
  // The UART ROM reads commands as runs of 16 bytes; bytes another program
  // left on the line (the "?" of an LPC attempt) shift every command after
  // them, if the ROM keeps a partial command. Filler bytes 0x05 complete
  // whatever it holds; a command made of filler only is ERROR_STATUS and is
  // answered, so the count of filler bytes it holds (0..15) is found by
  // bisection in four probes, and a last run of filler completes a command.
  bool realign() override;

 private:
  PrivateSerial_SDPLoader* p_;
};

// SDP over USB HID (hidapi). Input reports: 3 (HAB state, id and 4 bytes)
// and 4 (response, id and 64 bytes), so a complete answer is 70 bytes.
class HID_SDPLoader : public SDPLoader_Interface {
 public:
  static const size_t MAX_REPLY_BYTES = 4096;

  HID_SDPLoader(uint16_t vendorId, uint16_t productId);
  ~HID_SDPLoader() override;
  HID_SDPLoader(const HID_SDPLoader&) = delete;
  HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

  // hid_init and hid_open of the first device with the ids.
  bool init() override;
  // hid_write of the whole packet (report id first); hidapi's result.
  ssize_t writeData(const std::vector<uint8_t>& packet) override;
  // Input reports until one read times out (waitMs each).
  ssize_t readData(std::vector<uint8_t>& reply, unsigned waitMs) override;
  // Only a reply of exactly 70 bytes; word `offset` (0..15) at byte
  // offset + 6.
  bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned offset,
                         unsigned& value) override;

 private:
  hid_device_* handle_ = nullptr;
  bool initialised_ = false;
  uint16_t vendorId_;
  uint16_t productId_;
};

#endif  // QN_RECOVERY_SDPLOADER_H
