#include "server/ServerComm.h"

#include <curl/curl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/Log.h"

#ifndef QN_DEFAULT_SERVER_URL
#define QN_DEFAULT_SERVER_URL "http://localhost:9890/cgi/u"
#endif

namespace Vorlaine {
namespace Updater {

const char* const ServerCommClass::default_url = QN_DEFAULT_SERVER_URL;
const char* const ServerCommClass::delimiters = "\n";
const char ServerCommClass::encoding_table[65] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const int ServerCommClass::mod_table[3] = {0, 2, 1};
unsigned char* ServerCommClass::decoding_table = nullptr;

namespace {

const unsigned char kNotBase64 = 0xFF;
const size_t kChunkPreview = 100;

// The reply split into its pieces: every run of text between separators,
// empty runs skipped. A piece that is not there is null when asked for.
class ReplyLines {
 public:
  ReplyLines(const char* text, const char* separators) {
    size_t i = 0;
    const size_t n = strlen(text);
    while (i < n) {
      size_t len = strcspn(text + i, separators);
      if (len > 0) lines_.emplace_back(text + i, len);
      i += len;
      if (i < n) ++i;
    }
  }
  // Line `index` (0 is the status), or null.
  const char* Get(size_t index) const {
    return index < lines_.size() ? lines_[index].c_str() : nullptr;
  }
  size_t Count() const { return lines_.size(); }
  bool StatusOk() const { return !lines_.empty() && strncmp(lines_[0].c_str(), "ok", 2) == 0; }

 private:
  std::vector<std::string> lines_;
};

// For log arguments: a missing piece prints as an empty text.
const char* sText(const char* s) { return s ? s : ""; }

std::string sCutAtLineEnd(const char* s) { return std::string(s, strcspn(s, "\r\n")); }

}  // namespace

ServerCommClass::ServerCommClass(const char* url, int bufferSize)
    : url_(url ? url : default_url), bufferSize_(bufferSize) {
  Log::FPrintf(stdout, DEBUG_ServerComm, "ServerCommClass() created to use [%s]\n", url_.c_str());
  curl_ = curl_easy_init();
  if (bufferSize_ > 0) {
    response_ = static_cast<char*>(malloc(static_cast<size_t>(bufferSize_)));
    if (response_) response_[0] = '\0';
  }
}

ServerCommClass::~ServerCommClass() {
  ReleaseResponse();
  if (curl_) curl_easy_cleanup(static_cast<CURL*>(curl_));
  curl_ = nullptr;
  Base64Cleanup();
}

bool ServerCommClass::ReleaseResponse() {
  free(response_);
  response_ = nullptr;
  received_ = 0;
  return true;
}

void ServerCommClass::SetTimeouts(long connectSeconds, long totalSeconds, long lowSpeedSeconds) {
  connectTimeout_ = connectSeconds;
  totalTimeout_ = totalSeconds;
  if (lowSpeedSeconds > 0) lowSpeedTime_ = lowSpeedSeconds;
}

std::string ServerCommClass::Escape(const std::string& text) {
  char* escaped =
      curl_easy_escape(static_cast<CURL*>(curl_), text.c_str(), static_cast<int>(text.size()));
  if (!escaped) return std::string();
  std::string result(escaped);
  curl_free(escaped);
  return result;
}

bool ServerCommClass::Send(const char* format, ...) {
  char request[URL_BUFFER_SIZE];
  int prefix = snprintf(request, sizeof(request), "%s?", url_.c_str());
  int query = -1;
  if (prefix >= 0 && static_cast<size_t>(prefix) < sizeof(request)) {
    va_list args;
    va_start(args, format);
    query = vsnprintf(request + prefix, sizeof(request) - prefix, format, args);
    va_end(args);
  }
  failure_.clear();
  // A cut URL would ask the server something else than meant: refuse it.
  if (query < 0 || static_cast<size_t>(prefix) + static_cast<size_t>(query) >= sizeof(request)) {
    failure_ = "request URL too long";
    Log::FPrintf(stdout, DEBUG_ServerComm,
                 "ServerCommClass::Send: request URL does not fit in %d bytes\n",
                 static_cast<int>(sizeof(request)));
    return false;
  }

  CURL* curl = static_cast<CURL*>(curl_);
  if (!curl) {
    failure_ = "no HTTP client";
    return false;
  }

  overflow_ = false;
  CURLcode rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &ServerCommClass::rcv_data);
  if (rc != CURLE_OK)
    Log::FPrintf(stdout, DEBUG_ServerComm,
                 "ServerCommClass::Send: cur_easy_setopt(CURLOPT_WRITEFUNCTION) failed: %s\n",
                 curl_easy_strerror(rc));
  rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
  if (rc != CURLE_OK)
    Log::FPrintf(stdout, DEBUG_ServerComm,
                 "ServerCommClass::Send: cur_easy_setopt(CURLOPT_WRITEDATA) failed: %s\n",
                 curl_easy_strerror(rc));
  rc = curl_easy_setopt(curl, CURLOPT_URL, request);
  if (rc != CURLE_OK)
    Log::FPrintf(stdout, DEBUG_ServerComm,
                 "ServerCommClass::Send: cur_easy_setopt(CURLOPT_URL) failed: %s\n",
                 curl_easy_strerror(rc));
  Log::FPrintf(stdout, DEBUG_ServerComm, "Send(%s)\n", request);
  rc = curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(strlen(request)));
  if (rc != CURLE_OK)
    Log::FPrintf(stdout, DEBUG_ServerComm,
                 "ServerCommClass::Send: cur_easy_setopt(CURLOPT_POSTFIELDSIZE) failed: %s\n",
                 curl_easy_strerror(rc));
  // Every wait is bounded; no signals, so a time-out cannot disturb other threads.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connectTimeout_);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, totalTimeout_);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, LOW_SPEED_BYTES);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, lowSpeedTime_);
  char detail[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);

  received_ = 0;
  if (response_) response_[0] = '\0';
  rc = curl_easy_perform(curl);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  if (rc != CURLE_OK) {
    Log::FPrintf(stdout, DEBUG_ServerComm, "curl_easy_perform() failed: %s\n",
                 curl_easy_strerror(rc));
    if (overflow_)
      failure_ = "reply larger than " + std::to_string(bufferSize_ - 1) + " bytes";
    else
      failure_ = detail[0] ? detail : curl_easy_strerror(rc);
    return false;
  }
  return true;
}

size_t ServerCommClass::rcv_data(void* data, size_t size, size_t count, void* object) {
  ServerCommClass* self = static_cast<ServerCommClass*>(object);
  const size_t bytes = size * count;
  if (Log::IsActive(DEBUG_ServerComm)) {
    // The chunk is not NUL-terminated: print from a terminated copy.
    char preview[kChunkPreview + 1];
    size_t n = bytes < kChunkPreview ? bytes : kChunkPreview;
    if (data && n) memcpy(preview, data, n);
    preview[n] = '\0';
    Log::FPrintf(stdout, DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n",
                 static_cast<int>(size), static_cast<int>(count),
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(object)), preview);
  }
  if (!self) return 0;

  const bool multiplied = size == 0 || bytes / size == count;
  const size_t total = self->received_ + bytes;
  if (multiplied && self->response_ && total >= self->received_ &&
      total < static_cast<size_t>(self->bufferSize_)) {
    if (bytes) memcpy(self->response_ + self->received_, data, bytes);
    self->received_ = total;
    self->response_[total] = '\0';
    Log::FPrintf(stdout, DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(bytes));
    return bytes;
  }
  Log::FPrintf(stdout, DEBUG_ServerComm, "rcv_data overflow [%d < %d]\n", static_cast<int>(total),
               self->bufferSize_);
  self->overflow_ = true;
  return 0;
}

bool ServerCommClass::Connect() {
  Send("op=hi&rv=2");
  Log::FPrintf(stdout, DEBUG_ServerComm, "CONNECT ==> [%s]\n", Response());
  return true;
}

bool ServerCommClass::QueryBuild(unsigned int serial, std::string& build, std::string& model) {
  if (!Send("op=qu&sn=%08X", serial)) return true;
  Log::FPrintf(stdout, DEBUG_ServerComm, "QueryBuild() ==> [%s]\n", Response());

  ReplyLines reply(Response(), delimiters);
  if (!reply.StatusOk()) {
    Log::FPrintf(stdout, DEBUG_ServerComm, "ServerCommClass: QueryBuild failed [%s]\n", Response());
    return false;
  }
  Log::FPrintf(stdout, DEBUG_ServerComm, "ServerCommClass received %d bytes [%s]\n",
               static_cast<int>(received_), Response());
  if (reply.Get(1)) build = reply.Get(1);
  if (reply.Get(2)) model = sCutAtLineEnd(reply.Get(2));
  Log::FPrintf(stdout, DEBUG_ServerComm, "ServerCommClass [%s][%s][%s]\n", sText(reply.Get(0)),
               sText(reply.Get(1)), sText(reply.Get(2)));
  return true;
}

bool ServerCommClass::GetBuild(unsigned int serial, const std::string& model,
                               const std::string& build, std::string& payload) {
  const std::string fw = Escape(model);
  const std::string bld = Escape(build);
  if (!Send("op=bird&sn=%08X&fw=%s&bld=%s", serial, fw.c_str(), bld.c_str())) return true;
  Log::FPrintf(stdout, DEBUG_ServerComm, "GetBuild() ==> [%d bytes]\n",
               static_cast<int>(received_));
  Log::FPrintf(stdout, DEBUG_ServerComm, "           ==> [%20.20s...]\n", Response());

  ReplyLines reply(Response(), delimiters);
  if (!reply.StatusOk()) {
    Log::FPrintf(stdout, DEBUG_ServerComm, "ServerCommClass: GetBuild failed [%s]\n", Response());
    return false;
  }
  payload.clear();
  Log::FPrintf(stdout, DEBUG_ServerComm, "ServerCommClass received %d bytes [%s]\n",
               static_cast<int>(received_), Response());
  Log::FPrintf(stdout, DEBUG_ServerComm, "GetBuild [%.20s][%.20s][%.20s]\n", sText(reply.Get(0)),
               sText(reply.Get(1)), sText(reply.Get(2)));
  if (reply.Get(1)) payload = reply.Get(1);
  return true;
}

bool ServerCommClass::GetBuildList(unsigned int serial, std::vector<std::string>& builds,
                                   std::vector<std::string>& versions) {
  builds.clear();
  versions.clear();
  if (!Send("op=builds&sn=%08X", serial)) return true;
  Log::FPrintf(stdout, DEBUG_ServerComm, "GetBuildList(%08X) ==> [%d bytes]\n", serial,
               static_cast<int>(received_));
  Log::FPrintf(stdout, DEBUG_ServerComm, "                   ==> [%s...]\n", Response());

  ReplyLines reply(Response(), delimiters);
  if (!reply.StatusOk()) {
    Log::FPrintf(stdout, DEBUG_ServerComm, "ServerCommClass: GetBuildLIst failed [%s]\n",
                 Response());
    return false;
  }
  Log::FPrintf(stdout, DEBUG_ServerComm, "ServerCommClass received %d bytes [%s]\n",
               static_cast<int>(received_), Response());
  for (size_t i = 1; i < reply.Count(); ++i) {
    const char* entry = reply.Get(i);
    if (strlen(entry) <= 2) continue;
    Log::FPrintf(stdout, DEBUG_ServerComm, "GetBuildList processing entry: [%s]\n", entry);
    ReplyLines fields(entry, ";\r\n");
    // An entry made only of separators names no build.
    if (!fields.Get(0)) continue;
    builds.emplace_back(fields.Get(0));
    versions.emplace_back(sText(fields.Get(1)));
    Log::FPrintf(stdout, DEBUG_ServerComm, "GetBuildList [%.10s][%.10s]\n", builds.back().c_str(),
                 versions.back().c_str());
  }
  return true;
}

bool ServerCommClass::GetRecoveryInfo(const unsigned int* fingerprint, unsigned int& serial,
                                      unsigned int& number, std::string& text) {
  serial = 0;
  number = 0;
  text.clear();
  if (!fingerprint) return false;
  if (!Send("op=fix&fp=%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
            fingerprint[2], fingerprint[3]))
    return true;
  Log::FPrintf(stdout, DEBUG_ServerComm, "GetFix() ==> [%d bytes]\n", static_cast<int>(received_));
  Log::FPrintf(stdout, DEBUG_ServerComm, "         ==> [%20.20s...]\n", Response());

  ReplyLines reply(Response(), delimiters);
  if (!reply.StatusOk()) return false;
  Log::FPrintf(stdout, DEBUG_ServerComm, "ServerCommClass received %d bytes [%s]\n",
               static_cast<int>(received_), Response());
  Log::FPrintf(stdout, DEBUG_ServerComm, "GetBuild [%.20s][%.20s][%.20s][%.20s...]\n",
               sText(reply.Get(0)), sText(reply.Get(1)), sText(reply.Get(2)), sText(reply.Get(3)));
  if (reply.Get(1)) serial = static_cast<unsigned int>(strtoul(reply.Get(1), nullptr, 16));
  if (reply.Get(2)) number = static_cast<unsigned int>(strtoul(reply.Get(2), nullptr, 0));
  if (reply.Get(3)) text = reply.Get(3);
  return true;
}

void ServerCommClass::Base64BuildDecodingTable() {
  if (decoding_table) return;
  decoding_table = static_cast<unsigned char*>(malloc(256));
  if (!decoding_table) return;
  memset(decoding_table, kNotBase64, 256);
  for (int i = 0; i < 64; ++i)
    decoding_table[static_cast<unsigned char>(encoding_table[i])] = static_cast<unsigned char>(i);
}

void ServerCommClass::Base64Cleanup() {
  free(decoding_table);
  decoding_table = nullptr;
}

char* ServerCommClass::Base64Encode(const unsigned char* data, size_t length, size_t* outLength) {
  if (!outLength || (length && !data)) return nullptr;
  const size_t groups = length / 3 + (length % 3 ? 1 : 0);
  if (groups > SIZE_MAX / 4) return nullptr;
  const size_t size = groups * 4;
  // One spare byte so that an empty result is still a block, not a failure.
  char* out = static_cast<char*>(malloc(size + 1));
  if (!out) return nullptr;

  size_t j = 0;
  for (size_t i = 0; i < length;) {
    uint32_t a = data[i++];
    uint32_t b = i < length ? data[i++] : 0;
    uint32_t c = i < length ? data[i++] : 0;
    uint32_t triple = (a << 16) | (b << 8) | c;
    out[j++] = encoding_table[(triple >> 18) & 0x3F];
    out[j++] = encoding_table[(triple >> 12) & 0x3F];
    out[j++] = encoding_table[(triple >> 6) & 0x3F];
    out[j++] = encoding_table[triple & 0x3F];
  }
  for (int k = 0; k < mod_table[length % 3]; ++k) out[size - 1 - k] = '=';
  *outLength = size;
  return out;
}

unsigned char* ServerCommClass::Base64Decode(const char* text, size_t length, size_t* outLength) {
  if (!decoding_table) Base64BuildDecodingTable();
  if (!decoding_table || !outLength || !text) return nullptr;
  if (length == 0 || length % 4 != 0) return nullptr;

  size_t pads = 0;
  if (text[length - 1] == '=') ++pads;
  if (text[length - 2] == '=') {
    // "x=" before a last character that is not a pad is malformed.
    if (pads == 0) return nullptr;
    ++pads;
  }
  // Every other character must be in the alphabet; garbage is refused rather
  // than decoded into a corrupt file.
  for (size_t i = 0; i < length - pads; ++i) {
    if (decoding_table[static_cast<unsigned char>(text[i])] == kNotBase64) return nullptr;
  }

  const size_t size = length / 4 * 3 - pads;
  unsigned char* out = static_cast<unsigned char*>(malloc(size ? size : 1));
  if (!out) return nullptr;

  size_t j = 0;
  for (size_t i = 0; i < length; i += 4) {
    uint32_t triple = 0;
    for (size_t k = 0; k < 4; ++k) {
      unsigned char ch = static_cast<unsigned char>(text[i + k]);
      uint32_t value = ch == '=' ? 0 : decoding_table[ch];
      triple = (triple << 6) | value;
    }
    if (j < size) out[j++] = static_cast<unsigned char>((triple >> 16) & 0xFF);
    if (j < size) out[j++] = static_cast<unsigned char>((triple >> 8) & 0xFF);
    if (j < size) out[j++] = static_cast<unsigned char>(triple & 0xFF);
  }
  *outLength = size;
  return out;
}

bool ServerCommClass::IsPlainBuildNumber(const std::string& build) {
  if (build.empty() || build.size() > 10) return false;
  for (char c : build) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool ServerCommClass::IsSafeBuildName(const std::string& build) {
  if (build.empty() || build.size() > 64 || build[0] == '.') return false;
  for (char c : build) {
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

}  // namespace Updater
}  // namespace Vorlaine
