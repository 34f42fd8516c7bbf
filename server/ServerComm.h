// Client of the update server.
//
// Every exchange is one HTTP GET of "<url>?<query>" made with libcurl's easy
// interface. The reply body is collected into one fixed response buffer and
// split into lines at "\n"; the first line is the status and an operation
// succeeds only when it begins with "ok". All diagnostics go to the log
// channel DEBUG_ServerComm.
//
// A server that cannot be reached is not an error of the queries: they return
// true and leave their outputs empty (or untouched). Callers ask Failed()
// after each query and report Failure(), which names the reason. A reply
// without "ok" makes them return false.
//
// Every request is bounded: the connection must be made within
// CONNECT_TIMEOUT_S, the reply must keep coming (at least LOW_SPEED_BYTES per
// second over LOW_SPEED_TIME_S), and the whole exchange must end within
// TRANSFER_TIMEOUT_S.
//
// The server is not trusted: texts placed into a request URL are escaped, a
// request URL that would not fit is refused, a reply that does not fit the
// buffer fails the transfer, and Base64Decode refuses anything that is not
// well-formed Base64.
//
// Thread-safety: none. An object, its curl handle and the shared decoding
// table are used from one thread (the main thread) only.
#ifndef QN_SERVER_SERVERCOMM_H
#define QN_SERVER_SERVERCOMM_H

#include <stddef.h>

#include <string>
#include <vector>

namespace Vorlaine {
namespace Updater {

class ServerCommClass {
 public:
  // Capacity that every command gives the response buffer (0xFA000).
  static const int DEFAULT_BUFFER_SIZE = 1024000;
  // Size of the request URL buffer; a URL needs one byte for its NUL.
  static const size_t URL_BUFFER_SIZE = 1024;
  // Time limits of one request, in seconds.
  static const long CONNECT_TIMEOUT_S = 10;
  static const long LOW_SPEED_BYTES = 1;
  static const long LOW_SPEED_TIME_S = 20;
  static const long TRANSFER_TIMEOUT_S = 120;

  static const char* const default_url;
  static const char* const delimiters;   // "\n"
  static const char encoding_table[65];  // RFC 4648 alphabet, NUL-terminated
  static const int mod_table[3];         // {0, 2, 1}
  // Built on first decode from encoding_table; shared by all objects and
  // freed by any object's destructor (or Base64Cleanup). 0xFF marks a byte
  // outside the alphabet.
  static unsigned char* decoding_table;

  // `url` null means default_url. The response buffer holds bufferSize bytes
  // (a reply can hold at most bufferSize - 1 of them); a bufferSize below 1
  // or a failed allocation leaves no buffer, and every non-empty reply then
  // overflows.
  ServerCommClass(const char* url, int bufferSize);
  ~ServerCommClass();
  ServerCommClass(const ServerCommClass&) = delete;
  ServerCommClass& operator=(const ServerCommClass&) = delete;

  // Diagnostic hello ("op=hi&rv=2"); logs the reply and always returns true.
  bool Connect();

  // One request: the query is `format` formatted with the arguments. True
  // when the transfer succeeded (the HTTP status is not examined). False when
  // the URL does not fit URL_BUFFER_SIZE, there is no curl handle, the
  // transfer failed, timed out, or its reply overflowed the buffer.
  bool Send(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // libcurl write callback; `object` is the ServerCommClass. Returns the
  // number of bytes taken (0 on overflow, which aborts the transfer).
  static size_t rcv_data(void* data, size_t size, size_t count, void* object);

  // Latest build and the device's model (firmware name) string. See the class
  // comment for the meaning of the result; outputs are set only when the
  // reply has the line.
  bool QueryBuild(unsigned int serial, std::string& build, std::string& model);
  // One build as Base64 text in `payload` (cleared, then set on "ok").
  bool GetBuild(unsigned int serial, const std::string& model, const std::string& build,
                std::string& payload);
  // Builds and versions offered for the device; both vectors are cleared first.
  bool GetBuildList(unsigned int serial, std::vector<std::string>& builds,
                    std::vector<std::string>& versions);
  // Device identity for a chip fingerprint of four words. serial and number
  // are set to 0 and text cleared at entry.
  bool GetRecoveryInfo(const unsigned int* fingerprint, unsigned int& serial, unsigned int& number,
                       std::string& text);

  // Frees the response buffer; later replies overflow. Returns true.
  bool ReleaseResponse();

  // The last reply (NUL-terminated, empty when there is no buffer), its
  // length, and whether the last request overflowed the buffer.
  const char* Response() const { return response_ ? response_ : ""; }
  size_t Received() const { return received_; }
  bool Overflowed() const { return overflow_; }
  const std::string& Url() const { return url_; }
  // Whether the last request failed (no reply at all, a reply cut off or too
  // large), and why, in words ("" when it did not fail).
  bool Failed() const { return !failure_.empty(); }
  const std::string& Failure() const { return failure_; }

  // Changes the time limits of later requests (tests, slow links); a
  // lowSpeedSeconds of 0 keeps the current one.
  void SetTimeouts(long connectSeconds, long totalSeconds, long lowSpeedSeconds = 0);

  static void Base64BuildDecodingTable();
  static void Base64Cleanup();
  // Both return a new block allocated with malloc (the caller frees it with
  // free()) and store its length in *outLength; null on failure. The encoded
  // text is not NUL-terminated. Base64Decode returns null for an empty text, a
  // length that is not a multiple of 4, a character outside the alphabet, or
  // "=" anywhere but in the last two places (and "x=" before a last "x").
  static char* Base64Encode(const unsigned char* data, size_t length, size_t* outLength);
  static unsigned char* Base64Decode(const char* text, size_t length, size_t* outLength);

  // True for a build that is a plain number: 1 to 10 characters, digits
  // only (recovery files are named after the number).
  static bool IsPlainBuildNumber(const std::string& build);
  // True for a build name that is safe as a file name in a device's
  // directory: 1 to 64 characters from letters, digits, ".", "_" and "-",
  // not starting with "." (so never ".", ".." or a hidden file).
  static bool IsSafeBuildName(const std::string& build);

 private:
  std::string Escape(const std::string& text);

  std::string url_;
  char* response_ = nullptr;
  int bufferSize_ = 0;
  size_t received_ = 0;
  void* curl_ = nullptr;  // CURL*
  bool overflow_ = false;
  long connectTimeout_ = CONNECT_TIMEOUT_S;
  long totalTimeout_ = TRANSFER_TIMEOUT_S;
  long lowSpeedTime_ = LOW_SPEED_TIME_S;
  std::string failure_;
};

}  // namespace Updater
}  // namespace Vorlaine

#endif  // QN_SERVER_SERVERCOMM_H
