// The update server client against a small HTTP server on loopback that
// answers with exactly the reply a test sets.
#include "server/ServerComm.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <random>
#include <string>
#include <vector>

#include "app/Log.h"
#include "tests/support/Capture.h"
#include "tests/support/HttpServers.h"

using Vorlaine::Updater::ServerCommClass;

namespace {

// Decoded bytes, or "<null>" when the text is refused.
std::string Decode(const std::string& text) {
  size_t n = 12345;
  unsigned char* data = ServerCommClass::Base64Decode(text.data(), text.size(), &n);
  std::string out = data ? std::string(reinterpret_cast<char*>(data), n) : "<null>";
  free(data);
  return out;
}

std::string Encode(const std::string& bytes) {
  size_t n = 0;
  char* text = ServerCommClass::Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                             bytes.size(), &n);
  std::string out = text ? std::string(text, n) : "<null>";
  free(text);
  return out;
}

class ServerCommTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.ok()) << "cannot start the loopback HTTP server"; }
  qntest::ReplyServer server;
  ServerCommClass client{server.url().c_str(), ServerCommClass::DEFAULT_BUFFER_SIZE};
};

// ---------------------------------------------------------------- Base64

TEST(Base64Test, DocumentedExamplesRoundTripsAndMalformedText) {
  EXPECT_EQ(Decode("QUJD"), "ABC");
  EXPECT_EQ(Decode("QUI="), "AB");
  EXPECT_EQ(Decode("QQ=="), "A");
  EXPECT_EQ(Encode("AB"), "QUI=");
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  for (size_t len = 1; len <= all.size(); len += (len < 8 ? 1 : 37)) {
    EXPECT_EQ(Decode(Encode(all.substr(all.size() - len))), all.substr(all.size() - len)) << len;
  }
  // Garbage would otherwise decode into a corrupt firmware file.
  for (const char* bad : {"QUJ", "", "QUJ*", "QU J", "QUJ\n", "Q===", "=QUJ", "QU=D", "QQ=A",
                          "====", "QUJDQ", "QUJD====", "QU\x80J"}) {
    EXPECT_EQ(Decode(bad), "<null>") << "[" << bad << "]";
  }
  // Any object's destructor frees the shared decoding table; it is rebuilt.
  { ServerCommClass client("http://127.0.0.1:1/cgi/u", 16); }
  EXPECT_EQ(ServerCommClass::decoding_table, nullptr);
  EXPECT_EQ(Decode("QUJD"), "ABC");
}

// Build numbers (recovery) are digits only; build names (-G, -U) may also
// hold letters, ".", "_" and "-", but never lead out of a directory.
TEST(BuildNameTest, PlainNumbersAndSafeNames) {
  const struct {
    bool plain, safe;
    std::vector<std::string> names;
  } groups[] = {
      {true, true, {"0099", "4294967295"}},
      {false, true, {"b12", "1.0", "a_b-c.d", "-1", "12345678901", std::string(64, 'b')}},
      {false,
       false,
       {"", "..", ".1", "../1", "1/2", " 1", "1\n", std::string("1\0", 2), std::string(65, 'b')}},
  };
  for (const auto& g : groups) {
    for (const std::string& name : g.names) {
      EXPECT_EQ(ServerCommClass::IsPlainBuildNumber(name), g.plain) << "[" << name << "]";
      EXPECT_EQ(ServerCommClass::IsSafeBuildName(name), g.safe) << "[" << name << "]";
    }
  }
}

// ---------------------------------------------------------------- queries

TEST_F(ServerCommTest, QueryBuildReadsBuildAndModelAndKeepsThemOnErrors) {
  std::string build, model;
  server.SetBody("ok\nb12\nfwA");
  EXPECT_TRUE(client.QueryBuild(0x40F5849A, build, model));
  EXPECT_EQ(build + "/" + model, "b12/fwA");
  EXPECT_EQ(server.LastTarget(), "/cgi/u?op=qu&sn=40F5849A");
  // Only the first two characters of the status count; the model ends at "\r".
  server.SetBody("okay\n77\nfwB\r\n");
  EXPECT_TRUE(client.QueryBuild(1, build, model));
  EXPECT_EQ(build + "/" + model, "77/fwB");
  server.SetBody("ok\n");
  EXPECT_TRUE(client.QueryBuild(2, build, model));
  EXPECT_EQ(build + "/" + model, "77/fwB");
  for (const char* refusal : {"error unknown device\n99\nfw\n", "", "o"}) {
    server.SetBody(refusal);
    EXPECT_FALSE(client.QueryBuild(2, build, model)) << refusal;
    EXPECT_EQ(build + "/" + model, "77/fwB");
  }
  // The greeting succeeds whatever the reply.
  EXPECT_TRUE(client.Connect());
  EXPECT_EQ(server.LastTarget(), "/cgi/u?op=hi&rv=2");
}

TEST_F(ServerCommTest, GetBuildSetsPayloadOnlyOnOkAndEscapesTheUrl) {
  std::string payload = "previous";
  server.SetBody("error no such build\nQUJD\n");
  EXPECT_FALSE(client.GetBuild(0xABCD, "fwA", "12", payload));
  EXPECT_EQ(payload, "previous");
  server.SetBody("ok\n");
  EXPECT_TRUE(client.GetBuild(0xABCD, "fwA", "12", payload));
  EXPECT_EQ(payload, "") << "payload is cleared on ok even without a second line";
  server.SetBody("ok\nQUJD\n12.bird 3 bytes\n");
  EXPECT_TRUE(client.GetBuild(1, "fw A&op=fix", "12/../3#x", payload));
  EXPECT_EQ(payload, "QUJD");
  EXPECT_EQ(server.LastTarget(),
            "/cgi/u?op=bird&sn=00000001&fw=fw%20A%26op%3Dfix&bld=12%2F..%2F3%23x");
}

TEST_F(ServerCommTest, GetBuildListSplitsEntries) {
  std::vector<std::string> builds{"stale"}, versions{"stale"};
  server.SetBody("ok\n1.0;2.8.7\nx\n2.0\n");
  EXPECT_TRUE(client.GetBuildList(0x12, builds, versions));
  EXPECT_EQ(builds, (std::vector<std::string>{"1.0", "2.0"}));
  EXPECT_EQ(versions, (std::vector<std::string>{"2.8.7", ""}));
  EXPECT_EQ(server.LastTarget(), "/cgi/u?op=builds&sn=00000012");

  server.SetBody("error\n10;1.0\n");
  EXPECT_FALSE(client.GetBuildList(0x12, builds, versions));
  EXPECT_TRUE(builds.empty());
  EXPECT_TRUE(versions.empty());
}

TEST_F(ServerCommTest, GetRecoveryInfoParsesIdentity) {
  const unsigned int fingerprint[4] = {1, 2, 0xDEADBEEF, 0xABCD};
  unsigned int serial = 7, number = 7;
  std::string text = "stale";
  server.SetBody("ok\n40F5849A\n0x1F\nQUJD\n");
  EXPECT_TRUE(client.GetRecoveryInfo(fingerprint, serial, number, text));
  EXPECT_EQ(server.LastTarget(), "/cgi/u?op=fix&fp=00000001%2000000002%20DEADBEEF%200000ABCD");
  EXPECT_EQ(serial, 0x40F5849Au);
  EXPECT_EQ(number, 31u);
  EXPECT_EQ(text, "QUJD");

  server.SetBody("error unknown fingerprint\n40F5849A\n1\nQUJD\n");
  serial = number = 9;
  EXPECT_FALSE(client.GetRecoveryInfo(fingerprint, serial, number, text));
  EXPECT_EQ(serial, 0u);
  EXPECT_EQ(number, 0u);
  EXPECT_EQ(text, "");
}

// ---------------------------------------------------------------- failures

TEST(ServerCommUnreachableTest, QueriesReturnTrueWithEmptyOutputs) {
  ServerCommClass client("http://127.0.0.1:1/cgi/u", ServerCommClass::DEFAULT_BUFFER_SIZE);
  std::string build, model, payload = "kept", text = "x";
  EXPECT_FALSE(client.Send("op=hi"));
  EXPECT_TRUE(client.QueryBuild(1, build, model));
  EXPECT_EQ(build, "");
  EXPECT_EQ(model, "");
  EXPECT_TRUE(client.GetBuild(1, "fw", "1", payload));
  EXPECT_EQ(payload, "kept");
  std::vector<std::string> builds{"a"}, versions{"b"};
  EXPECT_TRUE(client.GetBuildList(1, builds, versions));
  EXPECT_TRUE(builds.empty());
  // Callers learn of the failure, and why.
  EXPECT_TRUE(client.Failed());
  EXPECT_NE(client.Failure().find("onnect"), std::string::npos) << client.Failure();
  EXPECT_TRUE(client.Connect());
}

TEST_F(ServerCommTest, ReplyMustBeSmallerThanTheBuffer) {
  std::string payload = "kept";
  std::string body = "ok\n" + std::string(ServerCommClass::DEFAULT_BUFFER_SIZE - 3, 'Q');
  ASSERT_EQ(body.size(), 1024000u);
  server.SetBody(body);
  EXPECT_FALSE(client.Send("op=bird"));
  EXPECT_TRUE(client.Overflowed());
  EXPECT_TRUE(client.GetBuild(1, "fw", "1", payload)) << "a failed transfer is not a refusal";
  EXPECT_EQ(payload, "kept");
  EXPECT_EQ(client.Failure(), "reply larger than 1023999 bytes");

  body.pop_back();
  server.SetBody(body);
  EXPECT_TRUE(client.GetBuild(1, "fw", "1", payload));
  EXPECT_FALSE(client.Failed());
  EXPECT_EQ(client.Received(), 1023999u);
  EXPECT_EQ(payload.size(), 1023996u);
}

TEST_F(ServerCommTest, RequestUrlThatDoesNotFitIsRefused) {
  // URL + "?" + "op=qu&sn=00000001" (17 characters) must fit in 1023.
  const std::string base = server.url();
  std::string fits = base + std::string(1023 - 18 - base.size(), 'x');
  ServerCommClass ok(fits.c_str(), ServerCommClass::DEFAULT_BUFFER_SIZE);
  server.SetBody("ok\n5\nfw\n");
  std::string build, model;
  EXPECT_TRUE(ok.QueryBuild(1, build, model));
  EXPECT_EQ(build, "5");
  ASSERT_EQ(server.Requests(), 1u);
  ServerCommClass tooLong((fits + "x").c_str(), ServerCommClass::DEFAULT_BUFFER_SIZE);
  EXPECT_FALSE(tooLong.Send("op=qu&sn=%08X", 1u));
  ServerCommClass huge((base + std::string(2000, 'x')).c_str(), 16);
  EXPECT_FALSE(huge.Send("op=hi"));
  EXPECT_EQ(server.Requests(), 1u) << "a cut request must never be sent";
}

// A server that stops sending is cut off by the low-speed limit long before
// the total time limit; one that is merely slow by the total.
TEST_F(ServerCommTest, SilentAndSlowServersAreCutOff) {
  server.SetBody("ok\nb12\nfwA\n");
  server.SetDelay(2500);
  std::string build, model;
  for (auto limits : {std::make_pair(30L, 1L), std::make_pair(1L, 30L)}) {
    client.SetTimeouts(1, limits.first, limits.second);
    EXPECT_TRUE(client.QueryBuild(1, build, model));
    EXPECT_TRUE(client.Failed());
    EXPECT_EQ(build, "");
  }
}

TEST_F(ServerCommTest, ArbitraryRepliesNeverBreakTheQueries) {
  // Replies made of the characters the parser cares about, and a NUL.
  const char alphabet[] = {'o', 'k', '\n', '\r', ';', '0', 'x', 'A', '=', ' ', '\0'};
  std::mt19937 rng(12345);
  ServerCommClass small(server.url().c_str(), 64);
  std::string build, model, payload, text;
  std::vector<std::string> builds, versions;
  unsigned int serial, number;
  const unsigned int fp[4] = {1, 2, 3, 4};
  for (int round = 0; round < 30; ++round) {
    std::string body = round % 2 ? "ok" : "";
    for (int i = (round * 13) % 80; i > 0; --i) body.push_back(alphabet[rng() % sizeof(alphabet)]);
    server.SetBody(body);
    small.QueryBuild(1, build, model);
    small.GetBuild(1, "fw", "1", payload);
    small.GetBuildList(1, builds, versions);
    small.GetRecoveryInfo(fp, serial, number, text);
    EXPECT_EQ(builds.size(), versions.size());
    EXPECT_EQ(model.find_first_of("\r\n"), std::string::npos);
    EXPECT_LT(small.Received(), 64u);
  }
}

// ---------------------------------------------------------------- callback

// Where the reply must end is checked above through the server.
TEST(RcvDataTest, PreviewStaysInsideTheChunkAndAReleasedBufferTakesNothing) {
  ServerCommClass client("http://127.0.0.1:1/cgi/u", 8);
  // With the channel on, the preview of a short chunk must stay inside it.
  qntest::CaptureStdout(DEBUG_ServerComm, [&] {
    std::vector<char> abc{'a', 'b', 'c'};  // not NUL-terminated
    EXPECT_EQ(ServerCommClass::rcv_data(abc.data(), 1, abc.size(), &client), 3u);
    EXPECT_STREQ(client.Response(), "abc");
    EXPECT_TRUE(client.ReleaseResponse());
    EXPECT_EQ(ServerCommClass::rcv_data(abc.data(), 1, 1, &client), 0u) << "no buffer, no room";
    EXPECT_STREQ(client.Response(), "");
  });
}

}  // namespace
