// The parsed command line of one run, the option table and the usage texts.
//
// `get_params` fills one `Parameters` record from argv; `main` owns that
// record for the whole run and hands it (or copies of it) to the commands.
// Everything here runs on the main thread before any worker thread exists;
// nothing is locked. `get_params` also activates the "-X" log channels
// (Log::ActivatePackage), a process-wide side effect.
#ifndef QN_APP_PARAMETERS_H
#define QN_APP_PARAMETERS_H

#include <stdint.h>

#include <string>

// Command bits of the command line.
enum COMMANDS : uint32_t {
  COMMAND_DISCOVER = 0x00000001,     // "-D"
  COMMAND_UPDATE = 0x00000002,       // "-U"
  COMMAND_BUILDS = 0x00000004,       // "-B"
  COMMAND_GET = 0x00000008,          // "-G"
  COMMAND_INFO = 0x00000010,         // "-I"
  COMMAND_CHECK = 0x00000020,        // "-C"
  COMMAND_FINGERPRINT = 0x00000040,  // "-N"
  COMMAND_Z = 0x00000080,            // "-Z": no action, but counts as a command
  COMMAND_HELP = 0x80000000          // "-h", "-H", "--help"
};

// The commands that make a run do something; a run with none of these shows
// the usage text instead.
const uint32_t COMMAND_GROUP_RUN = 0x000305FF;

// A set of command bits.
class CommandsClass {
 public:
  CommandsClass() : mask(0) {}
  void Set(COMMANDS c) { mask |= (uint32_t)c; }
  // True when at least one bit of `c` is set, so a group can be tested at once.
  bool IsSet(uint32_t c) const { return (mask & c) != 0; }

  uint32_t mask;
};

// Link type values as carried in `Parameters::linkType`.
const uint32_t PARAM_LINK_INVALID = 0;
const uint32_t PARAM_LINK_USB = 1;
const uint32_t PARAM_LINK_TCPIP = 2;
// The recovery path (serial port or HID boot ROM) is marked 255 in the
// record, not with the link type value 3.
const uint32_t PARAM_LINK_RECOVER = 255;

const uint32_t DEFAULT_BAUD_RATE = 115200;

// One run's command line. Plain value record.
struct Parameters {
  Parameters();

  CommandsClass commands;
  uint32_t serialNumber;        // "-d"; 0: none given
  uint32_t routerSerialNumber;  // "-r"; 0: direct connection
  uint32_t linkType;            // "-t": 1 USB, 2 TCP/IP, 255 recovery, 0 invalid
  bool linkTypeGiven;
  std::string serialPort;   // "-s"; "USB" selects the HID boot ROM
  uint32_t baudRate;        // "-o"
  uint8_t moduleNumber;     // found by the network discovery; 0: unknown
  std::string birdFile;     // "-f"
  std::string logMessage;   // "-l"
  std::string build;        // "-b" as decimal text; empty: the latest
  bool echo;                // "-e"
  std::string serverUrl;    // "-u"
  std::string appName;      // argv[0] after its last '/' or '\'
  std::string logFileName;  // "-k"
  bool overrideModel;       // "-OVERRIDE"
  uint32_t logMask;         // the last "-X" value
  bool logMaskGiven;        // "-X" was given with a value: extended help
  bool helpRequested;
  bool logFileGiven;  // "-k" was given: diagnostics are also appended to logFileName
};

// One row of the option table. `id`: OPTION_HELP, OPTION_COMMAND,
// OPTION_PARAMETER, or OPTION_END for the terminating row.
enum { OPTION_END = -1, OPTION_HELP = 0, OPTION_COMMAND = 1, OPTION_PARAMETER = 2 };
enum OptionArg { OPTION_ARG_NONE, OPTION_ARG_REQUIRED };

struct OptionEntry {
  int id;
  const char* text;
  OptionArg arg;
};

// Ends with a row whose id is OPTION_END.
extern const OptionEntry g_rgOptions[];

// Fills `params` from the command line. Returns 0 on success or when help was
// requested, 1 when any option was in error (each error is reported on
// standard error). Non-option words are moved behind the options in `argv`.
int get_params(int argc, char** argv, Parameters* params);

// Strict number readers: the whole text must be digits of the base (the empty
// text reads as 0); the value keeps its low 32 bits. On success `*end` points
// at the terminating NUL; on any other character the result is 0 and `*end`
// is left alone. A null `end` gives 0.
uint32_t GetHexArg(const char* text, const char** end);
uint32_t GetIntArg(const char* text, const char** end);

// Checks across options; there are none, so it returns 0.
int validate_params(Parameters* params);

// The program banner.
void ShowAppVersion();
// The short usage; with `full` also the commands text, with `full` and
// `extended` the extended text, with `full` the sample text.
void ShowUsage(bool extended, bool full);

#endif  // QN_APP_PARAMETERS_H
