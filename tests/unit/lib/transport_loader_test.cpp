#include "zeb/transport_loader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "unit/lib/log_capture.h"
#include "unit/lib/plugin_env.h"
#include "zeb/base_node_entry.h"
#include "zeb/base_transport.h"
#include "zeb/registry_file.h"
#include "zeb/status.h"

namespace {

using zeb::Transport;
using zeb::TransportLoader;

class LoaderTest : public PluginEnv {
 protected:
  // Loads from the given path (through ZEB_EXT_LIB_PATH) and returns the log.
  std::string load(const std::string& path) {
    search(path);
    LogCapture capture("loader");
    loader_ = std::make_unique<TransportLoader>("loader");
    loader_->initialize_transports();
    return capture.text();
  }
  Transport* scheme(const char* name) const {
    Transport* out = reinterpret_cast<Transport*>(1);
    const int found = loader_->find_transport(name, &out);
    EXPECT_EQ(found == 1, out != nullptr);
    return out;
  }
  Transport* id(int value) const {
    Transport* out = reinterpret_cast<Transport*>(1);
    const int found = loader_->find_transport(value, &out);
    EXPECT_EQ(found == 1, out != nullptr);
    return out;
  }
  static bool has(const std::string& log, const std::string& line) {
    return log.find(line) != std::string::npos;
  }

  std::unique_ptr<TransportLoader> loader_;
};

TEST_F(LoaderTest, LoadsPluginAndLogsWhatItFound) {
  const std::string log = load(dir("ext_lib"));
  Transport* loop = scheme("loop");
  ASSERT_NE(loop, nullptr);
  EXPECT_STREQ(loop->get_transport_name(), "LOOPBACK");
  EXPECT_EQ(loop->get_id(), 0);
  EXPECT_EQ(id(0), loop);
  EXPECT_EQ(id(1), nullptr);
  EXPECT_EQ(id(-1), nullptr);
  EXPECT_EQ(scheme("LOOP"), nullptr);
  EXPECT_EQ(scheme("loo"), nullptr);
  EXPECT_EQ(scheme(nullptr), nullptr);
  EXPECT_TRUE(has(log, "TransportLoader: Searching " + dir("ext_lib") + " for ZEB extensions"));
  EXPECT_TRUE(has(log, "TransportLoader: Found transports: LOOPBACK [libzebt_loopback.so] \n"));
  EXPECT_TRUE(has(log, "TransportLoader: Supported schemes: loop \n"));
  EXPECT_TRUE(has(log, "LOOPBACK: transport 0 created"));
}

TEST_F(LoaderTest, DestructionHandsTransportsToTheirPlugin) {
  load(dir("ext_lib"));
  LogCapture capture("loader");
  loader_.reset();
  EXPECT_TRUE(has(capture.text(), "LOOPBACK: transport 0 destroyed"));
}

TEST_F(LoaderTest, EmptySearchPathLoadsNothing) {
  const std::string log = load("");
  EXPECT_EQ(scheme("loop"), nullptr);
  EXPECT_EQ(id(0), nullptr);
  EXPECT_FALSE(has(log, "Searching"));
}

TEST_F(LoaderTest, EmptyPiecesAreSkippedAndMissingDirsOnlyLogged) {
  const std::string log = load("no_such_dir::" + dir("ext_lib") + ":");
  EXPECT_TRUE(has(log, "Couldn't open transport dir: no_such_dir"));
  const auto first = log.find("Searching no_such_dir for ZEB extensions");
  const auto second = log.find("Searching " + dir("ext_lib") + " for ZEB extensions");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_FALSE(has(log, "Searching  for"));
  EXPECT_NE(scheme("loop"), nullptr);
}

TEST_F(LoaderTest, UnsetPathSearchesExtLibInWorkingDirectory) {
  const std::string work = testing::TempDir() + "loader_cwd";
  ::mkdir(work.c_str(), 0755);
  ::unlink((work + "/ext_lib").c_str());
  ASSERT_EQ(::symlink(dir("ext_lib").c_str(), (work + "/ext_lib").c_str()), 0);
  ASSERT_EQ(::chdir(work.c_str()), 0);
  ::unsetenv("ZEB_EXT_LIB_PATH");
  LogCapture capture("loader");
  loader_ = std::make_unique<TransportLoader>("loader");
  loader_->initialize_transports();
  EXPECT_TRUE(has(capture.text(), "TransportLoader: Searching ext_lib for ZEB extensions"));
  EXPECT_NE(scheme("loop"), nullptr);
}

TEST_F(LoaderTest, ExplicitPathWinsOverEnvironment) {
  search("");
  loader_ = std::make_unique<TransportLoader>();
  loader_->initialize_transports(dir("ext_lib").c_str());
  EXPECT_NE(scheme("loop"), nullptr);
}

TEST_F(LoaderTest, NameNeedsThePrefixWithUnderscore) {
  load(dir("ext_lib_no_underscore"));
  EXPECT_EQ(scheme("edge"), nullptr);
  EXPECT_EQ(id(0), nullptr);
}

// A stale copy beside the real plug-in ("libzebt_mqtt.so.old") must never be
// loaded: only "libzebt_NAME.so" and "zebt_NAME.so" are plug-in file names.
TEST_F(LoaderTest, OnlyPluginLibraryNamesAreLoaded) {
  // A fresh folder: a library left from an earlier run must not be loaded,
  // nor a file that a loaded library maps be written over.
  std::string pattern = testing::TempDir() + "loader_names_XXXXXX";
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::string folder = pattern;
  std::ifstream real(dir("ext_lib") + "/libzebt_loopback.so", std::ios::binary);
  ASSERT_TRUE(real.good());
  const std::string bytes((std::istreambuf_iterator<char>(real)), std::istreambuf_iterator<char>());
  const auto place = [&](const std::string& name) {
    std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
  };
  for (const char* name : {"libzebt_loopback.so.old", "libzebt_loopback.so~", "zebt_loopback.so.1",
                           "libzebt_loopback.sox", "old_libzebt_loopback.so", "libzebt_.so",
                           "zebt_.so", "libzebt_loopback.SO", "liblibzebt_loopback.so"}) {
    place(name);
  }
  std::string log = load(folder);
  EXPECT_EQ(scheme("loop"), nullptr) << log;
  EXPECT_EQ(id(0), nullptr);
  EXPECT_FALSE(has(log, "Can't open")) << log;

  place("zebt_loopback.so");
  log = load(folder);
  EXPECT_TRUE(has(log, "Found transports: LOOPBACK [zebt_loopback.so] \n")) << log;
  EXPECT_EQ(id(1), nullptr);
  std::remove((folder + "/zebt_loopback.so").c_str());

  place("libzebt_loopback.so");
  log = load(folder);
  EXPECT_TRUE(has(log, "Found transports: LOOPBACK [libzebt_loopback.so] \n")) << log;
  EXPECT_EQ(id(1), nullptr);
}

TEST_F(LoaderTest, PluginWithoutCleanupIsSkippedAndGetsNoId) {
  const std::string log = load(dir("ext_lib_no_cleanup") + ":" + dir("ext_lib"));
  EXPECT_TRUE(has(log, "Unable to find cleanup from: libzebt_no_cleanup.so"));
  EXPECT_EQ(scheme("edge"), nullptr);
  ASSERT_NE(id(0), nullptr);
  EXPECT_STREQ(id(0)->get_transport_name(), "LOOPBACK");
  EXPECT_EQ(id(0)->get_id(), 0);
  EXPECT_EQ(id(1), nullptr);
}

TEST_F(LoaderTest, PluginWithoutVersionIsSkipped) {
  const std::string log = load(dir("ext_lib_no_version"));
  EXPECT_TRUE(has(log, "Unable to find get_version from: libzebt_no_version.so"));
  EXPECT_EQ(scheme("edge"), nullptr);
}

TEST_F(LoaderTest, PluginWhoseInitFailsIsSkipped) {
  const std::string log = load(dir("ext_lib_null_init") + ":" + dir("ext_lib"));
  EXPECT_TRUE(has(log, "Unable to initialize transport from: libzebt_null_init.so"));
  EXPECT_EQ(scheme("edge"), nullptr);
  ASSERT_NE(scheme("loop"), nullptr);
  EXPECT_EQ(scheme("loop")->get_id(), 0);
}

TEST_F(LoaderTest, FileThatIsNoLibraryIsReported) {
  const std::string fake = testing::TempDir() + "loader_fake";
  ::mkdir(fake.c_str(), 0755);
  std::ofstream(fake + "/libzebt_fake.so") << "not a library";
  const std::string log = load(fake + ":" + dir("ext_lib"));
  EXPECT_TRUE(has(log, "Can't open shared library: libzebt_fake.so"));
  EXPECT_TRUE(has(log, "  Err: "));
  EXPECT_NE(scheme("loop"), nullptr);
}

TEST_F(LoaderTest, LaterPluginTakesOverDuplicateScheme) {
  std::string log = load(dir("ext_lib") + ":" + dir("ext_lib_duplicate"));
  EXPECT_TRUE(has(log, "Duplicate transport scheme loop, this will overwrite transport LOOPBACK"));
  EXPECT_STREQ(scheme("loop")->get_transport_name(), "DUPLICATE");
  EXPECT_EQ(scheme("loop")->get_id(), 1);

  log = load(dir("ext_lib_duplicate") + ":" + dir("ext_lib"));
  EXPECT_TRUE(has(log, "Duplicate transport scheme loop, this will overwrite transport DUPLICATE"));
  EXPECT_STREQ(scheme("loop")->get_transport_name(), "LOOPBACK");
  EXPECT_STREQ(scheme("dup")->get_transport_name(), "DUPLICATE");
}

TEST_F(LoaderTest, AtMostEightSchemesPerTransport) {
  std::string log = load(dir("ext_lib_nine"));
  for (const char* name : {"s1", "s2", "s3", "s4", "s5", "s6", "s7", "s8"}) {
    EXPECT_NE(scheme(name), nullptr) << name;
  }
  EXPECT_EQ(scheme("s9"), nullptr);
  // The plug-in has no name; the log lines still say which one it was.
  EXPECT_TRUE(has(log, "Maximum number of schemes reached for transport <unnamed>"));
  EXPECT_TRUE(has(log, "Found transports: <unnamed> [libzebt_nine.so] "));
  EXPECT_TRUE(has(log, "Supported schemes: s1 s2 s3 s4 s5 s6 s7 s8 \n"));

  log = load(dir("ext_lib_eight"));
  EXPECT_NE(scheme("e8"), nullptr);
  EXPECT_TRUE(has(log, "Maximum number of schemes reached for transport EIGHT"));
}

TEST(BaseTransport, DefaultsSupportNothing) {
  zeb::BaseTransport base(7);
  EXPECT_EQ(base.get_id(), 7);
  EXPECT_STREQ(base.get_transport_name(), "__BASE__");
  ASSERT_EQ(base.get_schemes(), zeb::BaseTransport::schemes);
  EXPECT_STREQ(base.get_schemes()[0], "base");
  EXPECT_EQ(base.get_schemes()[1], nullptr);
  EXPECT_EQ(base.get_supported_methods(), 0);
  EXPECT_EQ(base.set_option("k", "v"), 1);
  zeb::_Msg* msg = reinterpret_cast<zeb::_Msg*>(1);
  EXPECT_EQ(base.get("r", nullptr, &msg), zeb::kUnsupportedMethod);
  EXPECT_EQ(msg, nullptr);
  char data[] = "x";
  EXPECT_EQ(base.set("r", nullptr, data, 1), zeb::kUnsupportedMethod);
  EXPECT_EQ(base.pub("r", nullptr, data, 1), zeb::kUnsupportedMethod);
  EXPECT_EQ(base.sub("r", nullptr, nullptr, nullptr), zeb::kUnsupportedMethod);
  int completions = 0;
  const zeb::PublishCallback count = [](void* user, uint64_t, int) { ++*static_cast<int*>(user); };
  EXPECT_EQ(base.pub_tracked("r", nullptr, data, 1, count, &completions, 3),
            zeb::kUnsupportedMethod);
  EXPECT_EQ(completions, 0);
  EXPECT_TRUE(base.connection_metadata("r", nullptr).healthy());
  zeb::_Msg untouched{nullptr, 5, data, 1};
  EXPECT_EQ(base.free_msg(&untouched), 1);
  EXPECT_EQ(untouched.reserved, 5u);
}

TEST(PlaneAccessors, ReadTheRuleBehindAnEntry) {
  zeb::RegistryFile reg;
  ASSERT_TRUE(reg.add_plane("p", R"({"transport_addr":"Loop://h:1/x","z":[1, 2],"a":"b"})"));
  ASSERT_TRUE(reg.append_rule("p", zeb::kMethodAny, "r", nullptr));
  zeb::NodeEntry* entry = nullptr;
  ASSERT_EQ(reg.lookup_node(zeb::kMethodGet, "r", &entry), 0);
  EXPECT_STREQ(zeb_get_plane_id(entry), "p");
  EXPECT_STREQ(zeb_get_transport_addr(entry), "Loop://h:1/x");
  EXPECT_STREQ(zeb_get_transport_scheme(entry), "loop");
  EXPECT_STREQ(zeb_get_options(entry), R"({"a":"b","transport_addr":"Loop://h:1/x","z":[1,2]})");
  EXPECT_STREQ(zeb_get_plane_id(nullptr), "");
  EXPECT_STREQ(zeb_get_options(nullptr), "");
  zeb::BaseNodeEntry other("r");
  EXPECT_STREQ(zeb_get_transport_scheme(static_cast<zeb::NodeEntry*>(&other)), "");
}

}  // namespace
