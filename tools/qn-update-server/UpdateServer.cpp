#include "tools/qn-update-server/UpdateServer.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>

#include "server/ServerComm.h"

namespace qnserver {

const char* const USAGE_TEXT =
    "Usage: qn-update-server [--listen HOST:PORT] [--root DIR] [--fail-op OP]...\n"
    "                        [--oversize N] [--log]\n"
    "  --listen HOST:PORT  address to listen on (default 127.0.0.1:9890; port 0 picks a free "
    "port)\n"
    "  --root DIR          firmware directory (default: the current directory)\n"
    "  --fail-op OP        answer every request of operation OP (hi, qu, bird, builds, fix)\n"
    "                      with an error line; may be repeated\n"
    "  --oversize N        answer every request with a reply of exactly N bytes\n"
    "  --log               print one line per request on standard output\n";

namespace {

// Firmware files larger than this are refused rather than read into memory.
const size_t kMaxFileSize = 64u * 1024u * 1024u;

bool sReadFile(const std::string& path, std::string& content) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  content.clear();
  char buffer[65536];
  size_t n;
  bool ok = true;
  while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) {
    if (content.size() + n > kMaxFileSize) {
      ok = false;
      break;
    }
    content.append(buffer, n);
  }
  if (ferror(f)) ok = false;
  fclose(f);
  return ok;
}

std::string sTrim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// First non-empty line of a small text file, trimmed; empty when missing.
std::string sFirstLine(const std::string& path) {
  std::string content;
  if (!sReadFile(path, content)) return std::string();
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line)) {
    line = sTrim(line);
    if (!line.empty()) return line;
  }
  return std::string();
}

bool sIsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool sParseUnsigned(const std::string& text, int base, unsigned int& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long v = strtoul(text.c_str(), &end, base);
  if (errno || !end || *end || v > 0xFFFFFFFFul) return false;
  value = static_cast<unsigned int>(v);
  return true;
}

std::string sParam(const std::map<std::string, std::string>& params, const char* name) {
  auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

std::string sBase64(const std::string& bytes) {
  size_t length = 0;
  char* text = Vorlaine::Updater::ServerCommClass::Base64Encode(
      reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length);
  if (!text) return std::string();
  std::string result(text, length);
  free(text);
  return result;
}

std::string sError(const std::string& what) { return "error " + what + "\n"; }

}  // namespace

bool ParseListen(const std::string& text, std::string& host, int& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  unsigned int value;
  if (!sParseUnsigned(text.substr(colon + 1), 10, value) || value > 65535) return false;
  host = text.substr(0, colon);
  port = static_cast<int>(value);
  return true;
}

bool ParseArguments(const std::vector<std::string>& args, ServerOptions& options, bool& help,
                    std::string& error) {
  help = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = "option " + a + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      help = true;
    } else if (a == "--log") {
      options.log = true;
    } else if (a == "--listen") {
      if (!value(v)) return false;
      if (!ParseListen(v, options.host, options.port)) {
        error = "bad --listen address [" + v + "], expected HOST:PORT";
        return false;
      }
    } else if (a == "--root") {
      if (!value(v)) return false;
      options.root = v;
    } else if (a == "--fail-op") {
      if (!value(v)) return false;
      options.failOps.insert(v);
    } else if (a == "--oversize") {
      if (!value(v)) return false;
      unsigned int n;
      if (!sParseUnsigned(v, 10, n) || n < 3) {
        error = "bad --oversize [" + v + "], expected a byte count of at least 3";
        return false;
      }
      options.oversize = n;
    } else {
      error = "unknown option [" + a + "]";
      return false;
    }
  }
  return true;
}

bool NormalizeSerial(const std::string& text, std::string& serial) {
  if (text.empty() || text.size() > 8) return false;
  for (char c : text) {
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
  }
  unsigned int value = static_cast<unsigned int>(strtoul(text.c_str(), nullptr, 16));
  char buffer[16];
  snprintf(buffer, sizeof(buffer), "%08X", value);
  serial = buffer;
  return true;
}

bool ParseFingerprint(const std::string& text, unsigned int words[4]) {
  std::istringstream in(text);
  std::string word;
  int n = 0;
  while (in >> word) {
    if (n == 4 || !sParseUnsigned(word, 16, words[n])) return false;
    ++n;
  }
  return n == 4;
}

std::vector<FingerprintEntry> ParseFingerprints(const std::string& text, size_t* bad) {
  std::vector<FingerprintEntry> entries;
  if (bad) *bad = 0;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    line = sTrim(line);
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::vector<std::string> f;
    std::string field;
    while (fields >> field) f.push_back(field);
    FingerprintEntry e;
    bool ok = f.size() == 6;
    for (int i = 0; ok && i < 4; ++i) ok = sParseUnsigned(f[i], 16, e.words[i]);
    ok = ok && sParseUnsigned(f[4], 16, e.serial) && sParseUnsigned(f[5], 10, e.build);
    if (ok) {
      entries.push_back(e);
    } else if (bad) {
      ++*bad;
    }
  }
  return entries;
}

std::string UpdateServer::DeviceDir(const std::string& serial) const {
  return options_.root + "/devices/" + serial;
}

std::vector<std::string> UpdateServer::BuildLines(const std::string& serial) const {
  std::vector<std::string> lines;
  const std::string dir = DeviceDir(serial);
  std::string content;
  if (sReadFile(dir + "/builds", content)) {
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
      line = sTrim(line);
      // Always "BUILD;VERSION": the client drops entries of 2 characters or
      // fewer, so a bare build of one or two digits would vanish.
      if (!line.empty() && line[0] != '#')
        lines.push_back(line.find(';') == std::string::npos ? line + ";" : line);
    }
    return lines;
  }
  DIR* d = opendir(dir.c_str());
  if (!d) return lines;
  std::vector<unsigned long> numbers;
  while (struct dirent* entry = readdir(d)) {
    std::string name = entry->d_name;
    const std::string suffix = ".bird";
    if (name.size() <= suffix.size() || name.compare(name.size() - 5, 5, suffix) != 0) continue;
    std::string build = name.substr(0, name.size() - 5);
    if (Vorlaine::Updater::ServerCommClass::IsPlainBuildNumber(build))
      numbers.push_back(strtoul(build.c_str(), nullptr, 10));
  }
  closedir(d);
  std::sort(numbers.begin(), numbers.end());
  for (unsigned long n : numbers) lines.push_back(std::to_string(n) + ";");
  return lines;
}

std::string UpdateServer::Hello() const { return "ok\nqn-update-server\n"; }

std::string UpdateServer::QueryBuild(const std::map<std::string, std::string>& params) const {
  std::string serial;
  if (!NormalizeSerial(sParam(params, "sn"), serial)) return sError("invalid serial number");
  const std::string dir = DeviceDir(serial);
  if (!sIsDirectory(dir)) return sError("unknown device " + serial);
  std::string latest = sFirstLine(dir + "/latest");
  if (latest.empty()) {
    std::vector<std::string> lines = BuildLines(serial);
    if (!lines.empty()) latest = lines.back().substr(0, lines.back().find(';'));
  }
  if (latest.empty()) return sError("no builds for device " + serial);
  const std::string model = sFirstLine(dir + "/model");
  if (model.empty()) return sError("no model for device " + serial);
  return "ok\n" + latest + "\n" + model + "\n";
}

std::string UpdateServer::GetBird(const std::map<std::string, std::string>& params) const {
  std::string serial;
  if (!NormalizeSerial(sParam(params, "sn"), serial)) return sError("invalid serial number");
  const std::string dir = DeviceDir(serial);
  if (!sIsDirectory(dir)) return sError("unknown device " + serial);
  const std::string build = sParam(params, "bld");
  if (!Vorlaine::Updater::ServerCommClass::IsSafeBuildName(build)) return sError("invalid build");
  const std::string model = sFirstLine(dir + "/model");
  if (!model.empty() && sParam(params, "fw") != model) return sError("model mismatch");
  std::string bytes;
  if (!sReadFile(dir + "/" + build + ".bird", bytes)) return sError("unknown build " + build);
  const std::string text = sBase64(bytes);
  if (text.empty()) return sError("cannot encode build " + build);
  return "ok\n" + text + "\n" + build + ".bird " + std::to_string(bytes.size()) + " bytes\n";
}

std::string UpdateServer::Builds(const std::map<std::string, std::string>& params) const {
  std::string serial;
  if (!NormalizeSerial(sParam(params, "sn"), serial)) return sError("invalid serial number");
  if (!sIsDirectory(DeviceDir(serial))) return sError("unknown device " + serial);
  std::string reply = "ok\n";
  for (const std::string& line : BuildLines(serial)) reply += line + "\n";
  return reply;
}

std::string UpdateServer::Fix(const std::map<std::string, std::string>& params) const {
  unsigned int words[4];
  if (!ParseFingerprint(sParam(params, "fp"), words)) return sError("invalid fingerprint");
  std::string table;
  if (!sReadFile(options_.root + "/fingerprints", table)) return sError("unknown fingerprint");
  for (const FingerprintEntry& e : ParseFingerprints(table, nullptr)) {
    if (!std::equal(words, words + 4, e.words)) continue;
    char serial[16];
    snprintf(serial, sizeof(serial), "%08X", e.serial);
    std::string bytes;
    const std::string build = std::to_string(e.build);
    if (!sReadFile(DeviceDir(serial) + "/" + build + ".bird", bytes))
      return sError("no build " + build + " for device " + serial);
    const std::string text = sBase64(bytes);
    if (text.empty()) return sError("cannot encode build " + build);
    return "ok\n" + std::string(serial) + "\n" + build + "\n" + text + "\n";
  }
  return sError("unknown fingerprint");
}

std::string UpdateServer::Handle(const std::map<std::string, std::string>& params) const {
  const std::string op = sParam(params, "op");
  if (options_.oversize) {
    std::string reply = "ok\n";
    reply.resize(std::max<size_t>(options_.oversize, reply.size()), 'A');
    return reply;
  }
  if (options_.failOps.count(op)) return sError("forced failure of op=" + op);
  if (op == "hi") return Hello();
  if (op == "qu") return QueryBuild(params);
  if (op == "bird") return GetBird(params);
  if (op == "builds") return Builds(params);
  if (op == "fix") return Fix(params);
  return sError("unknown operation");
}

}  // namespace qnserver
