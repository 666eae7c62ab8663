// Drives a relay under test: publishes N messages to an input topic at a paced
// rate and collects what arrives on the output topic, on two libmosquitto
// connections. Each message carries its sequence number and send time in a
// leading "seq_ns" member, so the collector can count loss, duplicates and
// latency whatever the relay does to the rest. The stamp is a measurement leaf
// ({"timestamp","type","val"}) whose value starts with "#seq#", so it survives a
// time-series transform as a datapoint.
//
// The probe shares the machine with the relay, so it spends as little as it
// can: the publisher writes each packet from its own thread and reads its
// connection only between ticks; the collector polls its socket alone and reads
// everything that is there before polling again. Neither uses libmosquitto's
// own loop, which wakes once per published packet.
//
// relay_probe PORT IN_TOPIC OUT_TOPIC COUNT RATE QOS [PAYLOAD_FILE]
//   RATE 0 publishes as fast as the broker takes it; otherwise the messages due
//   are published in ticks of 1 ms.
// Prints one JSON line of results.
#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

struct Collector {
  std::mutex lock;
  std::vector<int64_t> latency_ns;
  std::vector<uint8_t> seen;
  uint64_t duplicates = 0;
  uint64_t unparsable = 0;
  std::atomic<uint64_t> received{0};
  int64_t first_ns = 0;
  int64_t last_ns = 0;
};

// The first "#seq#<seq>:<ns>" in the text.
bool parse_stamp(const char* text, size_t length, uint64_t& seq, int64_t& sent) {
  static const char kMarker[] = "#seq#";
  const char* end = text + length;
  const char* at = std::search(text, end, kMarker, kMarker + sizeof kMarker - 1);
  if (at == end) return false;
  at += sizeof kMarker - 1;
  char* next = nullptr;
  seq = std::strtoull(at, &next, 10);
  if (next == at || next >= end || *next != ':') return false;
  sent = std::strtoll(next + 1, nullptr, 10);
  return true;
}

void on_message(mosquitto*, void* user, const mosquitto_message* msg) {
  const int64_t arrived = now_ns();
  auto* c = static_cast<Collector*>(user);
  uint64_t seq = 0;
  int64_t sent = 0;
  std::lock_guard<std::mutex> guard(c->lock);
  if (!parse_stamp(static_cast<const char*>(msg->payload), static_cast<size_t>(msg->payloadlen),
                   seq, sent) ||
      seq >= c->seen.size()) {
    ++c->unparsable;
    return;
  }
  if (c->seen[seq]) {
    ++c->duplicates;
    return;
  }
  c->seen[seq] = 1;
  c->latency_ns.push_back(arrived - sent);
  if (c->first_ns == 0) c->first_ns = arrived;
  c->last_ns = arrived;
  c->received.fetch_add(1);
}

mosquitto* connect_to(int port, void* user) {
  mosquitto* m = mosquitto_new(nullptr, true, user);
  if (m) {
    // Small publishes must not wait for the broker's delayed acknowledgements
    // (PROBE_NODELAY=0 measures with Nagle's algorithm).
    const char* no_delay = std::getenv("PROBE_NODELAY");
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY,
                         no_delay != nullptr && std::strcmp(no_delay, "0") == 0 ? 0 : 1);
    // At QoS 1 every outstanding message may be in flight (the publisher
    // bounds how many).
    mosquitto_max_inflight_messages_set(m, 0);
  }
  if (!m || mosquitto_connect(m, "127.0.0.1", port, 3600) != MOSQ_ERR_SUCCESS) {
    std::fprintf(stderr, "cannot connect to port %d\n", port);
    std::exit(2);
  }
  const int sock = mosquitto_socket(m);
  ::fcntl(sock, F_SETFL, ::fcntl(sock, F_GETFL) | O_NONBLOCK);
  return m;
}

// Reads every packet the socket holds, writes what is pending and keeps the
// connection alive; false when the connection is gone.
bool serve(mosquitto* m, short revents) {
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    for (;;) {
      errno = 0;
      if (mosquitto_loop_read(m, 1) != MOSQ_ERR_SUCCESS) return false;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
    }
  }
  if (mosquitto_want_write(m) && mosquitto_loop_write(m, 1) != MOSQ_ERR_SUCCESS) return false;
  return mosquitto_loop_misc(m) == MOSQ_ERR_SUCCESS;
}

// Waits up to `timeout_ns` for the connection's socket and serves it.
bool wait_and_serve(mosquitto* m, int64_t timeout_ns) {
  pollfd fd{mosquitto_socket(m),
            static_cast<short>(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0};
  const timespec timeout{static_cast<time_t>(timeout_ns / 1'000'000'000),
                         static_cast<long>(timeout_ns % 1'000'000'000)};
  if (::ppoll(&fd, 1, &timeout, nullptr) < 0) return errno == EINTR;
  return serve(m, fd.revents);
}

double percentile(std::vector<int64_t>& values, double p) {
  if (values.empty()) return 0;
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
  std::nth_element(values.begin(), values.begin() + index, values.end());
  return values[index] / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: %s PORT IN_TOPIC OUT_TOPIC COUNT RATE QOS [PAYLOAD_FILE]\n",
                 argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const std::string in_topic = argv[2];
  const std::string out_topic = argv[3];
  const uint64_t count = std::strtoull(argv[4], nullptr, 10);
  const double rate = std::atof(argv[5]);
  const int qos = std::atoi(argv[6]);
  std::string body = "{}";
  if (argc > 7) {
    std::ifstream in(argv[7]);
    std::stringstream text;
    text << in.rdbuf();
    body = text.str();
    while (!body.empty() && (body.back() == '\n' || body.back() == ' ')) body.pop_back();
  }
  // The stamp goes first inside the top-level object.
  const std::string rest = body.size() > 2 ? "," + body.substr(1) : "}";

  mosquitto_lib_init();
  Collector collector;
  collector.seen.assign(count, 0);
  mosquitto* sub = connect_to(port, &collector);
  mosquitto_message_callback_set(sub, on_message);
  mosquitto_subscribe(sub, nullptr, out_topic.c_str(), qos);
  std::atomic<bool> collecting{true};
  std::thread collector_thread([&] {
    while (collecting.load() && wait_and_serve(sub, 100'000'000)) {
    }
  });
  // Acknowledged publishes still outstanding are bounded: libmosquitto looks
  // each acknowledgement up in a list of them, which costs more the longer it is.
  uint64_t acknowledged = 0;
  mosquitto* pub = connect_to(port, &acknowledged);
  mosquitto_publish_callback_set(
      pub, [](mosquitto*, void* user, int) { ++*static_cast<uint64_t*>(user); });
  constexpr uint64_t kMaxOutstanding = 1000;
  const int64_t settle = now_ns() + 300'000'000;
  while (now_ns() < settle) wait_and_serve(pub, 10'000'000);

  const int64_t start = now_ns();
  constexpr int64_t kTickNs = 1'000'000;
  constexpr uint64_t kUnpacedBatch = 64;
  uint64_t next = 0;
  // A relay that stops taking messages, and with it the broker, must not keep
  // the probe waiting for ever: after this long without a message handed over,
  // the rest is not sent and counts as lost.
  constexpr int64_t kStallNs = 10'000'000'000;
  int64_t progress_ns = start;
  uint64_t acknowledged_seen = 0;
  const auto stalled = [&] {
    if (acknowledged != acknowledged_seen) {
      acknowledged_seen = acknowledged;
      progress_ns = now_ns();
    }
    return now_ns() - progress_ns > kStallNs;
  };
  while (next < count && !stalled()) {
    // Everything due by now goes out in this tick.
    uint64_t due = count;
    if (rate > 0) {
      due = std::min<uint64_t>(count, static_cast<uint64_t>((now_ns() - start) / 1e9 * rate) + 1);
    } else {
      due = std::min<uint64_t>(count, next + kUnpacedBatch);
    }
    for (; next < due && !stalled(); ++next) {
      while (qos > 0 && next - acknowledged >= kMaxOutstanding && !stalled()) {
        wait_and_serve(pub, 1'000'000);
      }
      if (stalled()) break;
      const std::string payload =
          "{\"seq_ns\":{\"timestamp\":0,\"type\":\"string\",\"val\":\"#seq#" +
          std::to_string(next) + ":" + std::to_string(now_ns()) + "\"}" + rest;
      while (mosquitto_publish(pub, nullptr, in_topic.c_str(), static_cast<int>(payload.size()),
                               payload.data(), qos, false) == MOSQ_ERR_NOMEM) {
        wait_and_serve(pub, 100'000);
      }
      // A full socket: let the broker take what is pending first.
      while (mosquitto_want_write(pub) && !stalled()) wait_and_serve(pub, 1'000'000);
      if (!mosquitto_want_write(pub)) progress_ns = now_ns();
    }
    if (rate > 0) {
      // The rest of this tick serves the connection.
      wait_and_serve(pub, kTickNs - (now_ns() - start) % kTickNs);
    } else {
      wait_and_serve(pub, 0);
    }
  }
  const int64_t sent_done = now_ns();

  // Wait until everything arrived or nothing arrived for 3 s.
  uint64_t last = 0;
  int64_t quiet_since = now_ns();
  while (collector.received.load() < count) {
    wait_and_serve(pub, 50'000'000);
    const uint64_t got = collector.received.load();
    if (got != last) {
      last = got;
      quiet_since = now_ns();
    } else if (now_ns() - quiet_since > 3'000'000'000LL) {
      break;
    }
  }

  std::lock_guard<std::mutex> guard(collector.lock);
  const uint64_t received = collector.received.load();
  const double span = (collector.last_ns - start) / 1e9;
  const double offered = next / ((sent_done - start) / 1e9);
  std::printf(
      "{\"count\":%" PRIu64 ",\"sent\":%" PRIu64 ",\"offered_per_s\":%.0f,\"received\":%" PRIu64
      ",\"lost\":%" PRIu64 ",\"duplicates\":%" PRIu64 ",\"unparsable\":%" PRIu64
      ",\"delivered_per_s\":%.0f,\"latency_ms\":{\"p50\":%.3f,\"p99\":%.3f,\"max\":%.3f}}\n",
      count, next, offered, received, count - received, collector.duplicates, collector.unparsable,
      span > 0 ? received / span : 0.0, percentile(collector.latency_ns, 0.50),
      percentile(collector.latency_ns, 0.99), percentile(collector.latency_ns, 1.0));
  // Acknowledgements of the last messages are read before leaving.
  const int64_t linger = now_ns() + 200'000'000;
  while (now_ns() < linger) wait_and_serve(pub, 10'000'000);
  collecting.store(false);
  collector_thread.join();
  mosquitto_disconnect(pub);
  mosquitto_disconnect(sub);
  mosquitto_destroy(pub);
  mosquitto_destroy(sub);
  mosquitto_lib_cleanup();
  return 0;
}
