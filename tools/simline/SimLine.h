// A pseudo-terminal that stands in for a device's serial port.
//
// The simulator owns the master side; a client opens the slave path (or the
// symlink made with `linkPath`). The slave side is put into raw mode and kept
// open by the simulator so that a client may open and close it repeatedly.
//
// With a non-zero baud rate every character costs 10 bit times in each
// direction: received bytes are handed out no faster than the line could
// carry them and written bytes leave no faster than the line allows. A reply
// latency (what a USB-serial adapter adds) delays the start of each reply.
//
// Not thread-safe: one thread reads and writes.
#ifndef QN_TOOLS_SIMLINE_SIMLINE_H
#define QN_TOOLS_SIMLINE_SIMLINE_H

#include <stdint.h>

#include <string>
#include <vector>

namespace qnsim {

class SimLine {
 public:
  SimLine() = default;
  ~SimLine();
  SimLine(const SimLine&) = delete;
  SimLine& operator=(const SimLine&) = delete;

  // Creates the pseudo-terminal and, when linkPath is not empty, a symlink
  // to its slave (an existing symlink at that path is replaced; any other
  // file there is an error). On failure returns false with a message.
  bool Open(const std::string& linkPath, std::string* error);
  const std::string& slavePath() const { return slavePath_; }

  // 0 disables pacing.
  void SetBaud(unsigned baud) { baud_ = baud; }
  unsigned baud() const { return baud_; }
  void SetLatencyMs(unsigned ms) { latencyMs_ = ms; }

  // Waits up to timeoutMs for one received byte, sending queued output as
  // it falls due meanwhile (the line is full duplex). Returns 1 with the
  // byte, 0 when none arrived in time (or a signal interrupted the wait), -1
  // on a fatal error of the pseudo-terminal.
  int ReadByte(uint8_t* byte, int timeoutMs);

  // Queues bytes for sending; they leave no faster than the line rate allows.
  // `reply` marks the start of a reply and costs the reply latency first.
  // Output that the client does not take within a second is dropped, as a
  // real line would lose it; returns false when output was dropped.
  bool Write(const std::string& bytes, bool reply = false);
  // True while queued output has not been sent.
  bool sending() const { return !queue_.empty(); }
  // Discards what was received but not yet read.
  void FlushInput();
  // Discards queued output that has not been sent.
  void DiscardOutput();

 private:
  // Sends every queued byte that is due; false when output was dropped.
  bool Pump();
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
  std::string linkPath_;
  unsigned baud_ = 0;
  unsigned latencyMs_ = 0;
  int64_t rxFreeNs_ = 0;
  int64_t txFreeNs_ = 0;
  uint8_t buffer_[4096];
  size_t have_ = 0;
  size_t next_ = 0;
  // Output not yet sent, each byte with the time it may leave.
  std::string queue_;
  std::vector<int64_t> due_;
  size_t sent_ = 0;
  bool dropped_ = false;
};

}  // namespace qnsim

#endif  // QN_TOOLS_SIMLINE_SIMLINE_H
