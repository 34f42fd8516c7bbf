// Module descriptions from the command line and from configuration files.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/qn-modsim/ModSim.h"

namespace modsim {

namespace {

bool ParseUnsigned(const std::string& text, int base, uint64_t max, uint64_t* out) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  // Base 0 means decimal, or hexadecimal with 0x; never octal, so that
  // "0099" is ninety-nine.
  std::string digits = text;
  bool prefixed = digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
  if (base == 0) base = prefixed ? 16 : 10;
  if (base == 16 && prefixed) digits = digits.substr(2);
  errno = 0;
  char* end = nullptr;
  unsigned long long value = strtoull(digits.c_str(), &end, base);
  if (errno != 0 || end == digits.c_str() || *end != '\0' || value > max) return false;
  *out = value;
  return true;
}

bool ParseFlag(const std::string& value, bool* out) {
  if (value.empty() || value == "1" || value == "yes" || value == "on" || value == "true") {
    *out = true;
  } else if (value == "0" || value == "no" || value == "off" || value == "false") {
    *out = false;
  } else {
    return false;
  }
  return true;
}

std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> fields;
  std::string current;
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!current.empty()) fields.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) fields.push_back(current);
  return fields;
}

}  // namespace

bool ParseVersion(const std::string& text, uint32_t* out) {
  if (text.find('.') == std::string::npos) {
    uint64_t value = 0;
    if (!ParseUnsigned(text, 0, 0xFFFFFFFFu, &value)) return false;
    *out = uint32_t(value);
    return true;
  }
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, '.')) parts.push_back(part);
  uint64_t major = 0, minor = 0, patch = 0;
  if (parts.size() != 3 || !ParseUnsigned(parts[0], 10, 15, &major) ||
      !ParseUnsigned(parts[1], 10, 15, &minor) || !ParseUnsigned(parts[2], 10, 0xFFFFFF, &patch)) {
    return false;
  }
  *out = uint32_t((major << 28) | (minor << 24) | patch);
  return true;
}

bool ParseModuleSpec(const std::string& text, ModuleConfig* out, std::string* error) {
  ModuleConfig cfg;
  bool haveSerial = false;
  for (const std::string& field : SplitFields(text)) {
    size_t eq = field.find('=');
    std::string key = field.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : field.substr(eq + 1);
    uint64_t n = 0;
    bool flag = false;
    bool ok = true;
    Faults& f = cfg.faults;
    if (key == "serial") {
      ok = ParseUnsigned(value, 16, 0xFFFFFFFFu, &n) && n != 0;
      cfg.serial = uint32_t(n);
      haveSerial = ok;
    } else if (key == "model") {
      ok = ParseUnsigned(value, 0, 255, &n);
      cfg.model = uint8_t(n);
    } else if (key == "addr") {
      ok = ParseUnsigned(value, 16, 254, &n) && n != 0 && (n & 1) == 0;
      cfg.address = uint8_t(n);
    } else if (key == "router") {
      ok = ParseUnsigned(value, 16, 254, &n) && (n & 1) == 0;
      cfg.routerAddress = uint8_t(n);
    } else if (key == "version") {
      ok = ParseVersion(value, &cfg.version);
    } else if (key == "build") {
      ok = ParseUnsigned(value, 0, 0xFFFFFFFFu, &n);
      cfg.build = uint32_t(n);
    } else if (key == "behind") {
      ok = ParseUnsigned(value, 16, 0xFFFFFFFFu, &n) && n != 0;
      cfg.behind = uint32_t(n);
    } else if (key == "port") {
      ok = ParseUnsigned(value, 10, 65535, &n);
      cfg.tcpPort = int(n);
    } else if (key == "node") {
      ok = ParseFlag(value, &cfg.node);
    } else if (key == "reset-ms") {
      ok = ParseUnsigned(value, 10, 600000, &n);
      cfg.resetMs = unsigned(n);
    } else if (key == "reset") {
      ok = value == "drop" || value == "silent";
      cfg.resetMode = value == "silent" ? ResetMode::kSilent : ResetMode::kDrop;
    } else if (key == "load") {
      ok = value == "direct" || value == "restart";
      cfg.loadMode = value == "restart" ? LoadMode::kRestart : LoadMode::kDirect;
    } else if (key == "loader-running") {
      ok = ParseFlag(value, &cfg.loaderRunning);
    } else if (key == "block") {
      ok = ParseUnsigned(value, 0, 65535, &n);
      cfg.blockSize = uint16_t(n);
    } else if (key == "load-base") {
      ok = ParseUnsigned(value, 16, 0xFFFFFFFFu, &n);
      cfg.loadBase = uint32_t(n);
    } else if (key == "route-required") {
      ok = ParseFlag(value, &cfg.routeRequired);
    } else if (key == "nak-absent") {
      ok = ParseFlag(value, &cfg.nakAbsent);
    } else if (key == "reboot-router") {
      ok = ParseUnsigned(value, 16, 254, &n) && (n & 1) == 0;
      cfg.rebootRouterAddress = uint8_t(n);
    } else if (key == "voltage") {
      ok = ParseUnsigned(value, 0, 65535, &n);
      cfg.voltageMv = uint16_t(n);
    } else if (key == "heartbeat") {
      ok = ParseUnsigned(value, 10, 600000, &n);
      cfg.heartbeatMs = unsigned(n);
    } else if (key == "hb-limit") {
      ok = ParseUnsigned(value, 10, 1000000, &n);
      cfg.heartbeatLimit = unsigned(n);
    } else if (key == "drop") {
      std::stringstream in(value);
      std::string item;
      ok = !value.empty();
      while (ok && std::getline(in, item, ':')) {
        ok = ParseUnsigned(item, 10, ~0ull, &n) && n != 0;
        f.dropReplies.insert(n);
      }
    } else if (key == "stray-after") {
      ok = ParseUnsigned(value, 10, ~0ull, &n);
      f.strayAfterReply = n;
    } else if (key == "close-after") {
      ok = ParseUnsigned(value, 10, ~0ull, &n);
      f.closeAfterPackets = n;
    } else if (key == "delay") {
      ok = ParseUnsigned(value, 10, 600000, &n);
      f.delayMs = unsigned(n);
    } else if (key == "data-count") {
      ok = value == "once" || value == "always";
      f.wrongDataCount = value == "always" ? 2 : 1;
    } else if (key == "bad-sum") {
      ok = ParseFlag(value, &f.badChecksum);
    } else if (key == "prepare-status") {
      ok = ParseUnsigned(value, 0, 255, &n);
      f.prepareStatus = uint8_t(n);
    } else if (key == "write-status") {
      ok = ParseUnsigned(value, 0, 255, &n);
      f.writeStatus = uint8_t(n);
    } else if (key == "never-back") {
      ok = ParseFlag(value, &f.neverBackAfterLoad);
    } else if (key == "router-take-at") {
      ok = ParseUnsigned(value, 10, 1000000, &n);
      f.routerTakeAt = unsigned(n);
    } else if (key == "report-serial") {
      ok = ParseUnsigned(value, 16, 0xFFFFFFFFu, &n);
      f.reportSerial = uint32_t(n);
    } else if (key == "max-links") {
      ok = ParseUnsigned(value, 10, 1000000, &n);
      f.maxLinks = int(n);
    } else if (key == "busy") {
      ok = ParseFlag(value, &flag);
      f.maxLinks = flag ? 0 : -1;
    } else {
      *error = "unknown module key \"" + key + "\"";
      return false;
    }
    if (!ok) {
      *error = "bad value for module key \"" + key + "\": \"" + value + "\"";
      return false;
    }
  }
  if (!haveSerial) {
    *error = "module description without serial=: \"" + text + "\"";
    return false;
  }
  *out = cfg;
  return true;
}

bool ParseConfigFile(const std::string& path, std::vector<ModuleConfig>* out, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    line = line.substr(start);
    size_t space = line.find_first_of(" \t");
    std::string keyword = line.substr(0, space);
    std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (keyword != "module" && keyword != "router") {
      *error = path + ":" + std::to_string(number) + ": expected \"module <keys>\"";
      return false;
    }
    ModuleConfig cfg;
    std::string why;
    if (!ParseModuleSpec(rest, &cfg, &why)) {
      *error = path + ":" + std::to_string(number) + ": " + why;
      return false;
    }
    out->push_back(cfg);
  }
  return true;
}

const char* ModuleSpecHelp() {
  return "Module keys (comma or blank separated key=value; hexadecimal where marked):\n"
         "  serial=HEX          serial number (required)\n"
         "  addr=HEX            module address, even (default 02)\n"
         "  router=HEX          router address (default: own address, or the router's\n"
         "                      address for a module behind a router)\n"
         "  model=N             model number (default 4)\n"
         "  version=V           firmware version, M.m.p or a packed number (default 2.1.0)\n"
         "  build=N             build number (default 1)\n"
         "  port=N              TCP endpoint on this port (0: ephemeral)\n"
         "  node[=1]            kernel-driver-style node (a pseudo-terminal)\n"
         "  behind=HEX          sits behind the router with this serial number; reached\n"
         "                      only through the router's link at its module address\n"
         "  reset-ms=N          time a restart keeps the module away (default 200)\n"
         "  reset=drop|silent   on restart close the links, or keep them but stay silent\n"
         "  load=direct|restart answer LOAD at once, or restart into the loader and send\n"
         "                      the LOAD reply on the next link started\n"
         "  loader-running[=1]  start with the loader running, as a module whose loader\n"
         "                      was started through its processor's boot ROM\n"
         "  block=N             block size answered to PREPARE (default 512)\n"
         "  load-base=HEX       load base answered to INIT (default 10000000)\n"
         "  route-required[=1]  router: routed replies only while route-to-me is on\n"
         "  nak-absent[=1]      router: commands to empty network addresses are answered\n"
         "                      80 xx at once (hosts stop waiting; fast address scans)\n"
         "  reboot-router=HEX   router address the new firmware starts with\n"
         "  voltage=N           millivolts answered to the voltage query (default 5000)\n"
         "  heartbeat=N         heartbeat period in ms on a started link, 0 for none (500)\n"
         "  hb-limit=N          close a link after N heartbeats in a row went unanswered\n"
         "Faults:\n"
         "  drop=N[:N...]       never send these replies (counted from 1 per module)\n"
         "  stray-after=N       send a stray byte 01 right after reply N\n"
         "  close-after=N       close a link after N host packets\n"
         "  delay=N             send every reply N ms late\n"
         "  data-count=once|always  acknowledge DATA one byte short (and drop it)\n"
         "  bad-sum[=1]         SUM reports a wrong checksum\n"
         "  prepare-status=N    PREPARE answers status N\n"
         "  write-status=N      WRITE answers status N\n"
         "  never-back[=1]      after LOAD the module never comes back\n"
         "  router-take-at=N    setting the router address works from the Nth try on\n"
         "  report-serial=HEX   answer serial queries with another serial number\n"
         "  max-links=N         refuse links beyond N at a time\n"
         "  busy[=1]            refuse every link (as max-links=0)\n";
}

}  // namespace modsim
