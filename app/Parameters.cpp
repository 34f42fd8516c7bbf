#include "app/Parameters.h"

#include <stdlib.h>
#include <string.h>

#include <vector>

#include "app/Log.h"

#ifndef QN_DEFAULT_SERVER_URL
#define QN_DEFAULT_SERVER_URL "http://localhost:9890/cgi/u"
#endif
#ifndef QN_VERSION
#define QN_VERSION "0.0.0"
#endif

// clang-format off
const OptionEntry g_rgOptions[] = {
    {OPTION_COMMAND, "-B", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-D", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-G", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-I", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-U", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-OVERRIDE", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-N", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-Y", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-C", OPTION_ARG_NONE},
    {OPTION_HELP, "-h", OPTION_ARG_NONE},
    {OPTION_HELP, "-H", OPTION_ARG_NONE},
    {OPTION_PARAMETER, "-X", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-Z", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-b", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-d", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-t", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-f", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-r", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-s", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-o", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-e", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-l", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-k", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-u", OPTION_ARG_REQUIRED},
    {OPTION_HELP, "--help", OPTION_ARG_NONE},
    {OPTION_END, nullptr, OPTION_ARG_NONE},
};
// clang-format on

Parameters::Parameters()
    : serialNumber(0),
      routerSerialNumber(0),
      linkType(PARAM_LINK_USB),
      linkTypeGiven(false),
      baudRate(DEFAULT_BAUD_RATE),
      moduleNumber(0),
      echo(false),
      serverUrl(QN_DEFAULT_SERVER_URL),
      logFileName("Updater.log"),
      overrideModel(false),
      logMask(0),
      logMaskGiven(false),
      helpRequested(false),
      logFileGiven(false) {}

namespace {

// ---------------------------------------------------------------------------
// Option scanner. Walks argv once; for each option word it yields the table
// row and the value. Words that are not options are moved behind the options
// (keeping their order) when the scan is over. Scanner errors (unknown or
// ambiguous option, missing value, value on a command) skip the word silently.

struct ScannedOption {
  const OptionEntry* entry;
  std::string text;   // the table text of the matched row
  std::string value;  // for parameters
};

size_t sHyphens(const char* word) {
  size_t n = 0;
  while (word[n] == '-') ++n;
  return n;
}

// Exact match first; otherwise the unique row of which `text` is a proper
// prefix, counting only the characters after an equal number of hyphens.
// Null when nothing or more than one row matches.
const OptionEntry* sLookup(const std::string& text) {
  for (const OptionEntry* e = g_rgOptions; e->id != OPTION_END; ++e)
    if (text == e->text) return e;
  size_t hyphens = sHyphens(text.c_str());
  std::string name = text.substr(hyphens);
  if (name.empty()) return nullptr;
  const OptionEntry* found = nullptr;
  for (const OptionEntry* e = g_rgOptions; e->id != OPTION_END; ++e) {
    if (sHyphens(e->text) != hyphens) continue;
    const char* entryName = e->text + hyphens;
    if (strlen(entryName) > name.size() && strncmp(entryName, name.c_str(), name.size()) == 0) {
      if (found) return nullptr;  // ambiguous
      found = e;
    }
  }
  return found;
}

class OptionScanner {
 public:
  OptionScanner(int argc, char** argv) : argc_(argc), argv_(argv), next_(1) {}

  // The next valid option, or false at the end of the words.
  bool Next(ScannedOption* out) {
    while (next_ < argc_) {
      int index = next_++;
      char* word = argv_[index];
      if (word[0] != '-') {
        loose_.push_back(word);
        continue;
      }
      const char* eq = strchr(word, '=');
      std::string text = eq ? std::string(word, eq - word) : std::string(word);
      const OptionEntry* entry = sLookup(text);
      if (!entry) {
        KeepOption(index, 1);
        continue;
      }
      out->entry = entry;
      out->text = entry->text;
      out->value.clear();
      if (entry->arg == OPTION_ARG_NONE) {
        KeepOption(index, 1);
        if (eq) continue;  // a command or help option takes no value
        return true;
      }
      if (eq) {
        out->value = eq + 1;
        KeepOption(index, 1);
        return true;
      }
      if (next_ >= argc_ || argv_[next_][0] == '-') {
        // Missing value: the following word is scanned as an option itself.
        KeepOption(index, 1);
        continue;
      }
      out->value = argv_[next_];
      KeepOption(index, 2);
      ++next_;
      return true;
    }
    return false;
  }

  // Rewrites argv: option words in their order, then the loose words.
  void Finish() {
    int w = 1;
    for (char* word : options_) argv_[w++] = word;
    for (char* word : loose_) argv_[w++] = word;
  }

 private:
  void KeepOption(int index, int count) {
    for (int i = 0; i < count; ++i) options_.push_back(argv_[index + i]);
  }

  int argc_;
  char** argv_;
  int next_;
  std::vector<char*> options_;
  std::vector<char*> loose_;
};

bool sHasHexPrefix(const std::string& value) {
  return value.size() >= 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
}

// "-d" and "-r": an optional "0x" prefix, then hexadecimal digits; 0 is an
// error. Returns false on error.
bool sReadSerial(const std::string& value, uint32_t* serial, const char* prefixNote,
                 const char* errorFormat) {
  const char* digits = value.c_str();
  if (sHasHexPrefix(value)) {
    Log::FPrintf(stdout, DEBUG_Updater, "%s", prefixNote);
    digits += 2;
  }
  const char* end = nullptr;
  *serial = GetHexArg(digits, &end);
  if (*serial == 0) {
    Log::FPrintf(stderr, 0, errorFormat, digits);
    return false;
  }
  return true;
}

void sReadLogMask(const ScannedOption& opt, Parameters* params) {
  params->logMaskGiven = true;
  const char* value = opt.value.c_str();
  char* rest = nullptr;
  unsigned long n = strtoul(value, &rest, sHasHexPrefix(opt.value) ? 16 : 10);
  params->logMask = (uint32_t)n;
  if (rest && *rest) {
    Log::FPrintf(stderr, 0,
                 "ERROR: Invalid format for \"%s\" parameter, unprocessed characters [%s]\n",
                 opt.text.c_str(), rest);
    return;
  }
  Log::ActivatePackage(params->logMask);
}

uint32_t sReadLinkType(const std::string& value, int* result) {
  if (value.compare(0, 3, "USB") == 0) return PARAM_LINK_USB;
  if (value.compare(0, 3, "TCP") == 0) return PARAM_LINK_TCPIP;
  if (value.compare(0, 7, "RECOVER") == 0) return PARAM_LINK_RECOVER;
  Log::FPrintf(stderr, 0,
               "ERROR: invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, "
               "RECOVER\n",
               value.c_str());
  *result = 1;
  return PARAM_LINK_INVALID;
}

void sHandleCommand(const ScannedOption& opt, Parameters* params, int* result) {
  switch (opt.text[1]) {
    case 'B':
      params->commands.Set(COMMAND_BUILDS);
      break;
    case 'C':
      params->commands.Set(COMMAND_CHECK);
      break;
    case 'D':
      params->commands.Set(COMMAND_DISCOVER);
      break;
    case 'G':
      params->commands.Set(COMMAND_GET);
      break;
    case 'I':
      params->commands.Set(COMMAND_INFO);
      break;
    case 'N':
      params->commands.Set(COMMAND_FINGERPRINT);
      break;
    case 'U':
      params->commands.Set(COMMAND_UPDATE);
      break;
    case 'O':
      params->overrideModel = true;
      break;
    default:
      Log::FPrintf(stderr, 0, "ERROR: Unhandled command: [%s]\n", opt.text.c_str());
      *result = 1;
      break;
  }
}

void sHandleParameter(const ScannedOption& opt, Parameters* params, int* result) {
  const std::string& value = opt.value;
  const char* end = nullptr;
  switch (opt.text[1]) {
    case 'X':
      sReadLogMask(opt, params);
      break;
    case 'Z':
      params->commands.Set(COMMAND_Z);
      break;
    case 'b':
      params->build = std::to_string(GetIntArg(value.c_str(), &end));
      break;
    case 'd':
      if (!sReadSerial(value, &params->serialNumber, "Discarding '0x' serial number prefix\n",
                       "ERROR: Invalid serial number obtained from argument [%s]\n"))
        *result = 1;
      break;
    case 'r':
      if (!sReadSerial(value, &params->routerSerialNumber,
                       "Discarding '0x' router serial number prefix\n",
                       "ERROR: Invalid router serial number obtained from argument [%s]\n"))
        *result = 1;
      break;
    case 't':
      params->linkTypeGiven = true;
      params->linkType = sReadLinkType(value, result);
      break;
    case 'o':
      params->baudRate = GetIntArg(value.c_str(), &end);
      break;
    case 's':
      params->serialPort = value;
      break;
    case 'f':
      params->birdFile = value;
      break;
    case 'l':
      params->logMessage = value;
      break;
    case 'k':
      params->logFileName = value;
      params->logFileGiven = true;
      break;
    case 'u':
      params->serverUrl = value;
      break;
    case 'e':
      params->echo = true;
      break;
    default:
      break;
  }
}

std::string sAppName(const char* argv0) {
  if (!argv0) return std::string();
  const char* name = argv0;
  for (const char* p = argv0; *p; ++p)
    if (*p == '/' || *p == '\\') name = p + 1;
  return name;
}

// Digits of `base` only; the value wraps to 32 bits.
uint32_t sStrictNumber(const char* text, const char** end, unsigned base) {
  if (!end || !text) return 0;
  uint32_t value = 0;
  const char* p = text;
  for (; *p; ++p) {
    unsigned digit;
    char c = *p;
    if (c >= '0' && c <= '9')
      digit = (unsigned)(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = (unsigned)(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = (unsigned)(c - 'A' + 10);
    else
      return 0;
    value = value * base + digit;
  }
  *end = p;
  return value;
}

// Host and port of an http URL for the help text ("localhost:9890").
std::string sServerHostPort(const std::string& url) {
  std::string rest = url;
  size_t scheme = rest.find("://");
  if (scheme != std::string::npos) rest = rest.substr(scheme + 3);
  size_t slash = rest.find('/');
  if (slash != std::string::npos) rest = rest.substr(0, slash);
  if (rest.find(':') == std::string::npos) rest += ":80";
  return rest;
}

const char kShortUsage[] =
    "\nApplication Usage:\n%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
    "    [-d serial_num]\n    [-t transport] [-r router_serial]\n"
    "    [-s serial_port] [-o baud_rate]\n\n"
    "  Quillnode Update and Maintenance Application\n"
    "    -H -h or --help for full usage information.\n\n";

const char kCommandsText[] =
    "  Parameters to commands:\n"
    "     -b <build number>        - Build version of the firmware to transfer.\n"
    "                                [Default: latest version available].\n"
    "     -d <device>              - Device serial number of the device to access.\n"
    "     -t <transport type>      - communications method [USB,TCP,RECOVER].\n"
    "     -r <router serial>       - indirect connection through router device\n"
    "     -s <serial port>         - name of serial port to use for recovery\n"
    "     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,\n"
    "                                19200, 38400, 57600, 115200, 230400)\n"
    "  Commands:\n"
    "     -B                       - list the Builds available for given device.\n"
    "\n"
    "     -D                       - Discover devices that are currently connected.\n"
    "\n"
    "     -G                       - Get build file from the Vorlaine server and\n"
    "                                store on local machine for download to device.\n"
    "                                Must specify a specific device [\"-d\" option].\n"
    "                                Default is to obtain the latest build for the\n"
    "                                given device, override with \"-b\" option.\n"
    "\n"
    "     -U                       - Update the firmware on device specified.\n"
    "                                Must specify a specific device [\"-d\" option].\n"
    "                                Default is to download the latest build for the\n"
    "                                given device, override with \"-b\" option or\n"
    "                                specify specific BIRD file using \"-f\" option.\n"
    "     -H or -h                 - Display extended usage information.\n"
    "\n";

const char kExtendedHead[] =
    "  Extended Parameters:\n"
    "     -f <bird file>           - Firmware file to be transferred to device.\n"
    "     -e                       - echoing of bytes enabled during recovery.\n"
    "\n"
    "     -l 'log message'         - message to place in device history log\n"
    "     -k <filename>            - log messages written into given filename\n"
    "                                Default:[APP.log]\n"
    "     -u <host:port>           - The hostname and port of the update server\n";

const char kExtendedTail[] =
    "  Extended Commands:\n"
    "     -I                       - View stored device information.\n"
    "                                Must either use DISCOVER command [\"-D\"] or\n"
    "                                specify a specific device [\"-d\" option].\n"
    "\n"
    "     -OVERRIDE                - Override the model checks for BIRD firmware files.\n"
    "                                This option should only be used when authorized by\n"
    "                                Vorlaine development engineers.\n"
    "\n"
    "     -N                       - Get NXP Serial number from a device, requires -s\n"
    "\n"
    "     -X <BIT_MASK>            - Bitmask for Logging\n"
    "                                DEBUG_Updater       0x00000001\n"
    "                                DEBUG_History       0x00000002\n"
    "                                DEBUG_Attributes    0x00000004\n"
    "                                DEBUG_BirdFile      0x00000008\n"
    "                                DEBUG_Network       0x00000010\n"
    "                                DEBUG_ServerComm    0x00000020\n"
    "\n"
    "                                DEBUG_Network       0x00000100\n"
    "                                DEBUG_Network_SR    0x00000200\n"
    "                                DEBUG_Network_FIRM  0x00000400\n"
    "\n"
    "                                DEBUG_NXPSerial     0x00001000\n"
    "                                DEBUG_NXPSerial_E   0x00002000\n"
    "                                DEBUG_NXPSerial_SR  0x00004000\n"
    "\n"
    "                                DEBUG_APP           0x00010000\n"
    "\n"
    "                                DEBUG_iMXSerial     0x10000000\n"
    "\n"
    "     -C                       - Check the given BIRDFILE\n"
    "\n";

// The two apostrophes are U+2019 (UTF-8 E2 80 99).
const char kSampleText[] =
    " Sample usage:\n"
    "\n"
    "-D                             Discover all devices connected by either USB or TCPIP.\n"
    "                               Records the device information into the settings for that "
    "device.\n"
    "\n"
    "-D -t USB                      Discover all the devices connected by USB. Records the\n"
    "                               device information into the settings for that device.\n"
    "\n"
    "-D -t USB -d 0F5849A           Discover settings of the specific device (serial number "
    "0x40F5849A)\n"
    "\n"
    "-G -d 40F5849A                 Get the latest firmware for the given device.\n"
    "                               Downloads the firmware file into the updater specific device "
    "directory.\n"
    "\n"
    "-U -d 40F5849A                 Update the firmware on the specific device.\n"
    "                               Without other options, this command will try to locate\n"
    "                               the latest firmware version to be used for updating the "
    "device.\n"
    "\n"
    "-G -d 40F5849A -b 99528558     Get the specified build\xE2\x80\x99s firmware for the given "
    "device.\n"
    "                               Downloads the firmware file into the updater\xE2\x80\x99s "
    "specific\n"
    "                               device directory with the build number as the filename.\n"
    "\n"
    "-G -U -d 40F5849A              Get the latest firmware for the given device.\n"
    "                               Downloads the firmware file into the updater specific\n"
    "                               device directory. After download, update the firmware\n"
    "                               using the latest release.\n"
    "\n"
    "-U -t RECOVER -s /dev/serial   Update the firmware as described above, but uses the serial "
    "interface\n"
    "                               in communicating with the device to install the latest "
    "firmware.\n"
    "\n"
    " Sample usage for network discovery and updates:\n"
    "\n"
    "-D -r D272031D                 Discover all devices connected to the I2C Quillnode network\n"
    "                               of the given routing device D272031D.\n"
    "\n";

// Texts longer than one formatted message (2047 characters) go out line by line.
void sPrintText(const char* text) {
  while (*text) {
    const char* nl = strchr(text, '\n');
    int len = nl ? (int)(nl - text + 1) : (int)strlen(text);
    Log::FPrintf(stdout, 0, "%.*s", len, text);
    text += len;
  }
}

}  // namespace

uint32_t GetHexArg(const char* text, const char** end) { return sStrictNumber(text, end, 16); }

uint32_t GetIntArg(const char* text, const char** end) { return sStrictNumber(text, end, 10); }

int validate_params(Parameters* params) {
  (void)params;
  return 0;
}

int get_params(int argc, char** argv, Parameters* params) {
  *params = Parameters();
  params->appName = sAppName(argc > 0 ? argv[0] : nullptr);
  int result = 0;

  OptionScanner scanner(argc, argv);
  ScannedOption opt;
  while (scanner.Next(&opt)) {
    switch (opt.entry->id) {
      case OPTION_HELP:
        params->commands.Set(COMMAND_HELP);
        params->helpRequested = true;
        return 0;
      case OPTION_COMMAND:
        sHandleCommand(opt, params, &result);
        break;
      case OPTION_PARAMETER:
        sHandleParameter(opt, params, &result);
        break;
      default:
        break;
    }
  }
  scanner.Finish();

  // "-k": from here on the diagnostic channels are appended to that file too.
  // A file that cannot be opened is reported but does not fail the run.
  if (params->logFileGiven && !Log::SetLogFile(params->logFileName.c_str()))
    Log::FPrintf(stderr, 0, "ERROR: Cannot open log file [%s]\n", params->logFileName.c_str());

  Log::FPrintf(stdout, DEBUG_APP, "\nApplication parameters:[%s]\n", params->appName.c_str());
  for (int i = 0; i < argc; ++i) Log::FPrintf(stdout, DEBUG_APP, "\t[%s]\n", argv[i]);

  if (result == 0) result = validate_params(params);
  return result;
}

void ShowAppVersion() { Log::FPrintf(stdout, 0, "Quillnode Updater %s\n", QN_VERSION); }

void ShowUsage(bool extended, bool full) {
  Log::FPrintf(stdout, 0, kShortUsage, "Updater");
  if (!full) return;
  sPrintText(kCommandsText);
  if (extended) {
    sPrintText(kExtendedHead);
    Log::FPrintf(stdout, 0, "%32sDefault: %s\n", "",
                 sServerHostPort(QN_DEFAULT_SERVER_URL).c_str());
    sPrintText(kExtendedTail);
  }
  sPrintText(kSampleText);
}
