// Prints how long the update client takes to fetch and decode the largest
// BIRD file that fits its reply buffer, over loopback. Run by hand:
//   <build>/bench/server_bench [rounds]
#include <httplib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>

#include "server/ServerComm.h"

using Vorlaine::Updater::ServerCommClass;

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? atoi(argv[1]) : 20;
  // Largest payload: "ok\n" + Base64 + "\n" + "1.bird\n" below 1024000 bytes.
  const size_t base64Room = ServerCommClass::DEFAULT_BUFFER_SIZE - 1 - 3 - 1 - 7;
  const size_t birdSize = base64Room / 4 * 3;
  std::string bird(birdSize, '\0');
  for (size_t i = 0; i < birdSize; ++i) bird[i] = static_cast<char>(i * 7 + 3);
  size_t textLength = 0;
  char* text = ServerCommClass::Base64Encode(reinterpret_cast<const unsigned char*>(bird.data()),
                                             bird.size(), &textLength);
  if (!text) return 1;
  const std::string body = "ok\n" + std::string(text, textLength) + "\n1.bird\n";
  free(text);

  httplib::Server http;
  http.Get("/cgi/u", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(body, "text/plain");
  });
  const int port = http.bind_to_any_port("127.0.0.1");
  if (port <= 0) {
    fprintf(stderr, "server_bench: cannot listen on loopback\n");
    return 1;
  }
  std::thread serverThread([&] { http.listen_after_bind(); });
  while (!http.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
  double fetchMs = 0, decodeMs = 0;
  int good = 0;
  {
    ServerCommClass client(url.c_str(), ServerCommClass::DEFAULT_BUFFER_SIZE);
    for (int i = 0; i < rounds; ++i) {
      std::string payload;
      auto t0 = std::chrono::steady_clock::now();
      client.GetBuild(1, "fw", "1", payload);
      auto t1 = std::chrono::steady_clock::now();
      size_t n = 0;
      unsigned char* data = ServerCommClass::Base64Decode(payload.data(), payload.size(), &n);
      auto t2 = std::chrono::steady_clock::now();
      if (data && n == bird.size() && memcmp(data, bird.data(), n) == 0) ++good;
      free(data);
      fetchMs += std::chrono::duration<double, std::milli>(t1 - t0).count();
      decodeMs += std::chrono::duration<double, std::milli>(t2 - t1).count();
    }
  }
  http.stop();
  serverThread.join();

  printf("reply %zu bytes, BIRD file %zu bytes, %d rounds, %d correct\n", body.size(), bird.size(),
         rounds, good);
  printf("fetch  %.2f ms per reply (%.1f MB/s)\n", fetchMs / rounds,
         body.size() / 1e3 / (fetchMs / rounds));
  printf("decode %.2f ms per file  (%.1f MB/s)\n", decodeMs / rounds,
         bird.size() / 1e3 / (decodeMs / rounds));
  return good == rounds ? 0 : 1;
}
