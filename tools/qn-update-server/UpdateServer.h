// Reference update server: answers the update client's queries from a
// firmware directory (layout in docs/qn-update-server.md).
//
// UpdateServer::Handle turns one request's query parameters into the reply
// body and does no I/O besides reading the firmware directory, which is read
// anew on every request so that a lab can change it while the server runs.
// Handle is const and safe to call from several threads at once.
#ifndef QN_TOOLS_QN_UPDATE_SERVER_UPDATESERVER_H
#define QN_TOOLS_QN_UPDATE_SERVER_UPDATESERVER_H

#include <stddef.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace qnserver {

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 9890;                // 0: any free port
  std::string root = ".";         // firmware directory
  std::set<std::string> failOps;  // operations answered with "error ..."
  size_t oversize = 0;            // when not 0, every reply is this many bytes
  bool log = false;               // one line per request on standard output
};

// Parses the command line (without argv[0]). Returns false with a message in
// `error` on a bad option; `help` is set for "--help".
bool ParseArguments(const std::vector<std::string>& args, ServerOptions& options, bool& help,
                    std::string& error);

// "HOST:PORT" -> host and port (0 to 65535).
bool ParseListen(const std::string& text, std::string& host, int& port);

extern const char* const USAGE_TEXT;

// A device serial number from a request: 1 to 8 hexadecimal digits, given
// back as 8 upper-case digits. False for anything else, so that a request
// can never name a path outside the device folder.
bool NormalizeSerial(const std::string& text, std::string& serial);

// A chip fingerprint "W0 W1 W2 W3" (hexadecimal words, blank separated).
bool ParseFingerprint(const std::string& text, unsigned int words[4]);

struct FingerprintEntry {
  unsigned int words[4];
  unsigned int serial;
  unsigned int build;
};

// The lines "W0 W1 W2 W3 SERIAL BUILD" of a fingerprints file (words and
// serial hexadecimal, build decimal); blank lines and "#" comments are
// skipped, malformed lines are counted in `bad`.
std::vector<FingerprintEntry> ParseFingerprints(const std::string& text, size_t* bad);

class UpdateServer {
 public:
  explicit UpdateServer(const ServerOptions& options) : options_(options) {}

  // The reply body for one request; `params` are the decoded query parameters.
  std::string Handle(const std::map<std::string, std::string>& params) const;

  // Builds of a device as "BUILD;VERSION" lines, the version empty when not
  // known (from its builds file, else its plain-numbered .bird files in
  // numeric order). Empty when unknown.
  std::vector<std::string> BuildLines(const std::string& serial) const;

 private:
  std::string DeviceDir(const std::string& serial) const;
  std::string Hello() const;
  std::string QueryBuild(const std::map<std::string, std::string>& params) const;
  std::string GetBird(const std::map<std::string, std::string>& params) const;
  std::string Builds(const std::map<std::string, std::string>& params) const;
  std::string Fix(const std::map<std::string, std::string>& params) const;

  ServerOptions options_;
};

}  // namespace qnserver

#endif  // QN_TOOLS_QN_UPDATE_SERVER_UPDATESERVER_H
