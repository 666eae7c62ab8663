// A test-only OPC UA plane for the OPC UA blocks, scheme "fakeua", scripted by
// its plane options:
//   "values":  {node: json}   get("/json?node") answers the value's JSON text,
//                             an unknown node 404
//   "raw":     {node: text}   get answers the text as it is (not JSON, say)
//   "updates": {node: [text]} sub("/json?node") succeeds and delivers each text
//                             with the bare node as topic, on a thread of its own
//   "fail_sub": {node: n}     the first n subscribes of node answer -4
//   "record_file": path       set appends "ref|code|length|hex of value bytes"
//   "healthy": bool           connection_metadata (default true)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "zeb/base_transport.h"
#include "zeb/opcua_value_record.h"
#include "zeb/status.h"

namespace {

const char kPrefix[] = "/json?";

std::string bare(const char* ref) {
  std::string text(ref);
  return text.rfind(kPrefix, 0) == 0 ? text.substr(sizeof kPrefix - 1) : text;
}

zeb::_Msg* make_msg(zeb::Transport* owner, const std::string& text) {
  char* data = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(data, text.data(), text.size());
  data[text.size()] = '\0';
  return new zeb::_Msg{owner, 0, data, text.size()};
}

class FakeOpcuaTransport : public zeb::BaseTransport {
 public:
  using BaseTransport::BaseTransport;
  ~FakeOpcuaTransport() override {
    for (auto& t : threads_) t.join();
  }

  const char* get_transport_name() override { return "FAKE-OPCUA"; }
  const char** get_schemes() override { return schemes_; }
  int get_supported_methods() override {
    return zeb::kMethodSub | zeb::kMethodSet | zeb::kMethodGet;
  }

  int get(const char* ref, void* entry, zeb::_Msg** out) override {
    const nlohmann::json options = nlohmann::json::parse(zeb_get_options(entry));
    const std::string node = bare(ref);
    if (options.contains("raw") && options["raw"].contains(node)) {
      *out = make_msg(this, options["raw"][node].get<std::string>());
      return zeb::kSuccess;
    }
    if (!options.contains("values") || !options["values"].contains(node)) {
      return zeb::kNotFoundOnRemote;
    }
    *out = make_msg(this, options["values"][node].dump());
    return zeb::kSuccess;
  }

  int sub(const char* ref, void* entry, zeb::MessageCallback callback, void* user) override {
    const nlohmann::json options = nlohmann::json::parse(zeb_get_options(entry));
    const std::string node = bare(ref);
    {
      std::lock_guard<std::mutex> guard(lock_);
      int& failures = failures_[node];
      if (options.contains("fail_sub") && options["fail_sub"].contains(node) &&
          failures < options["fail_sub"][node].get<int>()) {
        ++failures;
        return zeb::kConnectionFailed;
      }
    }
    std::vector<std::string> updates;
    if (options.contains("updates") && options["updates"].contains(node)) {
      updates = options["updates"][node].get<std::vector<std::string>>();
    }
    std::lock_guard<std::mutex> guard(lock_);
    threads_.emplace_back([this, node, updates, callback, user] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      for (const std::string& text : updates)
        callback("fake-plane", node.c_str(), make_msg(this, text), user);
    });
    return zeb::kSuccess;
  }

  int set(const char* ref, void* entry, char* data, size_t len) override {
    const nlohmann::json options = nlohmann::json::parse(zeb_get_options(entry));
    if (len != sizeof(opcua_value::ValueRecord)) return zeb::kBadRequest;
    opcua_value::ValueRecord record;
    std::memcpy(&record, data, sizeof record);
    std::string line = std::string(ref) + "|" + std::to_string(record.type_code) + "|" +
                       std::to_string(record.value_length) + "|";
    const auto* bytes = static_cast<const unsigned char*>(record.value);
    const bool text =
        record.type_code == opcua_value::kString || record.type_code == opcua_value::kDatetime;
    const size_t count = record.value_length + (text ? 1 : 0);  // the NUL of a text too
    char hex[3];
    for (size_t i = 0; i < count; ++i) {
      std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
      line += hex;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (FILE* file = std::fopen(options.value("record_file", "/dev/null").c_str(), "a")) {
      std::fprintf(file, "%s\n", line.c_str());
      std::fclose(file);
    }
    return zeb::kSuccess;
  }

  zeb::ConnectionMetadata connection_metadata(const char*, void* entry) override {
    const nlohmann::json options = nlohmann::json::parse(zeb_get_options(entry));
    zeb::ConnectionMetadata metadata;
    metadata.healthy(options.value("healthy", true));
    return metadata;
  }

  int free_msg(zeb::_Msg* msg) override {
    if (msg) {
      std::free(msg->data);
      delete msg;
    }
    return 1;
  }

 private:
  static const char* schemes_[2];
  std::mutex lock_;
  std::map<std::string, int> failures_;
  std::vector<std::thread> threads_;
};

const char* FakeOpcuaTransport::schemes_[2] = {"fakeua", nullptr};

}  // namespace

extern "C" {
ZEB_EXPORT zeb::Transport* init_transport(int id, void*) {
  return new (std::nothrow) FakeOpcuaTransport(id);
}
ZEB_EXPORT const char* get_version() {
  return "{\"ext_name\":\"fakeua\"}";
}
ZEB_EXPORT int cleanup_transport(zeb::Transport* transport) {
  delete transport;
  return 1;
}
}
