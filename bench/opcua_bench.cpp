// Throughput of the OPC UA plug-in: N monitored items (1,000, 10,000 and
// 50,000), each changing 10 times a second on the test server
// (tests/opcua_server), delivered through libzeb to a subscriber callback,
// sampling and publishing every 100 ms with a queue of one value per item.
// Reports values offered (N x 10) and delivered per second, values lost (gaps in each
// item's counter), items that delivered nothing while measured, CPU seconds
// of this process per 1,000 values (its only busy thread is the plug-in's
// connection thread) and its peak RSS. The third argument 1 runs the same
// over a Basic256Sha256 SignAndEncrypt channel (certificates made with the
// openssl command line), 0 over policy None.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/opcua_test_server.h"
#include "zeb/client.h"
#include "zeb/registry_file.h"
#include "zeb/status.h"
#include "zeb/transport.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Tally {
  std::atomic<bool> counting{false};
  std::atomic<uint64_t> delivered{0};
  std::atomic<uint64_t> lost{0};
  // Per item, touched by the delivery thread only (read after it stopped
  // counting).
  std::vector<int64_t> last;
  std::vector<uint64_t> counted;
};

struct ItemRef {
  Tally* tally;
  size_t index;
};

constexpr size_t kPrefix = std::char_traits<char>::length(R"({"type":"double","val":)");

void on_value(const char*, const char*, zeb::_Msg* msg, void* user) {
  const auto* ref = static_cast<ItemRef*>(user);
  Tally& tally = *ref->tally;
  const int64_t value = msg->len > kPrefix ? std::atoll(msg->data + kPrefix) : -1;
  std::free(msg->data);
  delete msg;
  int64_t& last = tally.last[ref->index];
  if (tally.counting) {
    ++tally.delivered;
    ++tally.counted[ref->index];
    if (last >= 0 && value > last + 1) tally.lost += static_cast<uint64_t>(value - last - 1);
  }
  last = value;
}

// Server arguments and plane options of a Basic256Sha256 SignAndEncrypt
// channel; certificates made in dir with the openssl command line.
bool secure_setup(const std::string& dir, std::vector<std::string>* server_args,
                  std::string* plane_options) {
  const std::string make =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=bench "
      "-addext keyUsage=critical,digitalSignature,nonRepudiation,"
      "keyEncipherment,dataEncipherment -addext subjectAltName=URI:";
  const std::string quiet = " >/dev/null 2>&1";
  if (std::system(("mkdir -p " + dir + "/pki/trusted").c_str()) != 0 ||
      std::system((make + "urn:bench:server,IP:127.0.0.1 -keyout " + dir + "/s.key -out " + dir +
                   "/pki/trusted/s.pem" + quiet)
                      .c_str()) != 0 ||
      std::system(
          (make + "urn:bench:client -keyout " + dir + "/c.key -out " + dir + "/c.pem" + quiet)
              .c_str()) != 0) {
    return false;
  }
  *server_args = {"--policies",
                  "None,Basic256Sha256",
                  "--modes",
                  "SignAndEncrypt",
                  "--cert",
                  dir + "/pki/trusted/s.pem",
                  "--key",
                  dir + "/s.key",
                  "--application-uri",
                  "urn:bench:server",
                  "--pki",
                  dir + "/server-pki",
                  "--trust",
                  dir + "/c.pem"};
  *plane_options = R"(,"security_policy":"Basic256Sha256","security_mode":"SignAndEncrypt",)"
                   R"("pki_dir":")" +
                   dir + R"(/pki","certificate":")" + dir + R"(/c.pem","private_key":")" + dir +
                   R"(/c.key")";
  return true;
}

double cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_OpcuaSubscription(benchmark::State& state) {
  const size_t items = static_cast<size_t>(state.range(0));
  const auto seconds = std::chrono::seconds(state.range(1));
  std::vector<std::string> server_args = {"--bench", std::to_string(items)};
  std::string security;
  if (state.range(2) == 1) {
    std::vector<std::string> secure_args;
    if (!secure_setup(weft_test::temp_path("bench-pki"), &secure_args, &security)) {
      state.SkipWithError("cannot make the certificates");
      return;
    }
    server_args.insert(server_args.end(), secure_args.begin(), secure_args.end());
  }
  weft_test::OpcuaTestServer server(server_args);
  zeb::RegistryFile registry;
  const std::string options = R"({"transport_addr":")" + server.url() +
                              R"(","publishing_interval_ms":100,"sampling_interval_ms":100,)"
                              R"("queue_size":1,"timeout_ms":30000)" +
                              security + "}";
  registry.add_plane("bench", options.c_str());
  registry.append_rule("bench", zeb::kMethodSub, "(.+)", "/json?$1");
  zeb::IClient* client = zeb::makeClient(&registry);

  Tally tally;
  tally.last.assign(items, -1);
  tally.counted.assign(items, 0);
  std::vector<ItemRef> refs(items);
  for (size_t i = 0; i < items; ++i) {
    refs[i] = {&tally, i};
    const std::string node = "ns=1;s=Bench." + std::to_string(i);
    if (client->sub(node.c_str(), on_value, &refs[i]) != zeb::kSuccess) {
      state.SkipWithError(("cannot subscribe to " + node).c_str());
      zeb::freeClient(client);
      return;
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // initial values settle

  for (auto _ : state) {
    const double cpu_start = cpu_seconds();
    const auto start = Clock::now();
    tally.counting = true;
    std::this_thread::sleep_for(seconds);
    tally.counting = false;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpu_seconds() - cpu_start;
    size_t silent = 0;
    for (uint64_t n : tally.counted) silent += n == 0 ? 1 : 0;
    state.counters["delivered_per_s"] = static_cast<double>(tally.delivered) / wall;
    state.counters["offered_per_s"] = static_cast<double>(items) * 10.0;
    state.counters["lost"] = static_cast<double>(tally.lost);
    state.counters["items_silent"] = static_cast<double>(silent);
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
    state.counters["cpu_s_per_1000"] =
        tally.delivered > 0 ? 1000.0 * cpu / static_cast<double>(tally.delivered) : 0;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_mib"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
  }
  zeb::freeClient(client);
}

}  // namespace

BENCHMARK(BM_OpcuaSubscription)
    ->ArgNames({"items", "seconds", "secure"})
    ->Args({1000, 10, 0})
    ->Args({1000, 10, 1})
    ->Args({10000, 10, 0})
    ->Args({50000, 10, 0})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

int main(int argc, char** argv) {
  // Found by the fixture: the source tree (test server) and the built plug-in.
  ::setenv("WEFT_SOURCE_DIR", WEFT_SOURCE_DIR_PATH, 0);
  ::setenv("ZEB_EXT_LIB_PATH", WEFT_PLUGIN_DIR_PATH, 0);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
