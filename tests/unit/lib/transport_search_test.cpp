// Where the loader looks for plug-ins when no search path is given: "ext_lib"
// under the working folder, then the installation's folder beside libzeb's own
// file. Each case lays out an installation in a temporary folder (a copy of
// libzeb, the test plug-ins under weft-pipe/ext_lib) and runs a probe program on
// that copy from another folder, so the installation can sit anywhere.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace {

namespace fs = std::filesystem;
using weft_test::build_dir;

class TransportSearchTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(weft_test::temp_path("install"));
    fs::create_directories(root_ / "lib" / "weft-pipe" / "ext_lib");
    fs::create_directories(root_ / "work");
    root_ = fs::canonical(root_);
    // A copy, not a link: the loader resolves links to find the real installation.
    fs::copy_file(fs::canonical(build_dir() + "/libzeb.so.0"), root_ / "lib" / "libzeb.so.0");
  }

  std::string plugin_dir() const { return (root_ / "lib" / "weft-pipe" / "ext_lib").string(); }
  std::string work_dir() const { return (root_ / "work").string(); }

  // Puts the test plug-in <file> from build/tests/<from> into folder <to>.
  static void place(const std::string& from, const std::string& file, const fs::path& to) {
    fs::create_directories(to);
    fs::copy_file(build_dir() + "/tests/" + from + "/" + file, to / file);
  }

  // Runs the probe from the work folder on the copy of libzeb in <lib_dir>;
  // env entries are added to ZEB_EXT_LIB_PATH being unset.
  std::string probe(const std::vector<std::string>& args,
                    std::map<std::string, std::string> env = {}, std::string lib_dir = "") {
    if (lib_dir.empty()) lib_dir = (root_ / "lib").string();
    env.emplace("ZEB_EXT_LIB_PATH", weft_test::kUnset);
    env["LD_LIBRARY_PATH"] = lib_dir;
    weft_test::ChildProcess child(build_dir() + "/tests/zeb_transport_search_probe", args, env,
                                  work_dir());
    EXPECT_EQ(child.wait_exit(std::chrono::seconds(20)), 0) << child.err();
    return child.out();
  }

  static bool has(const std::string& log, const std::string& text) {
    return log.find(text) != std::string::npos;
  }

  fs::path root_;
};

TEST_F(TransportSearchTest, InstalledPluginsServeWhenTheWorkingFolderHasNone) {
  place("ext_lib", "libzebt_loopback.so", plugin_dir());
  const std::string out = probe({"loop"});
  EXPECT_TRUE(has(out, "scheme loop: LOOPBACK id 0\n")) << out;
  EXPECT_TRUE(has(out, "plug-ins loaded: 1\n")) << out;
  // ext_lib is looked at first; its absence is normal, not a warning.
  const size_t ext_lib = out.find("Searching ext_lib for ZEB extensions");
  const size_t installed = out.find("Searching " + plugin_dir() + " for ZEB extensions");
  ASSERT_NE(ext_lib, std::string::npos) << out;
  ASSERT_NE(installed, std::string::npos) << out;
  EXPECT_LT(ext_lib, installed);
  EXPECT_TRUE(has(out, "[info] Couldn't open transport dir: ext_lib")) << out;
  EXPECT_FALSE(has(out, "[warning]")) << out;
  EXPECT_TRUE(has(out, "[info] TransportLoader: Scheme loop served from " + plugin_dir())) << out;
}

TEST_F(TransportSearchTest, WorkingFolderKeepsItsSchemesAndFilesAreLoadedOnce) {
  // DUPLICATE serves "loop" and "dup"; the installation has its own copy of it
  // and LOOPBACK, which serves "loop" too.
  place("ext_lib_duplicate", "libzebt_duplicate.so", work_dir() + "/ext_lib");
  place("ext_lib_duplicate", "libzebt_duplicate.so", plugin_dir());
  place("ext_lib", "libzebt_loopback.so", plugin_dir());
  place("ext_lib_eight", "libzebt_eight.so", plugin_dir());
  const std::string out = probe({"loop", "dup", "e1"});
  EXPECT_TRUE(has(out, "scheme loop: DUPLICATE id 0\n")) << out;
  EXPECT_TRUE(has(out, "scheme dup: DUPLICATE id 0\n")) << out;
  EXPECT_TRUE(has(out, "scheme e1: EIGHT id ")) << out;
  EXPECT_TRUE(has(out, "plug-ins loaded: 3\n")) << out;
  EXPECT_TRUE(has(out, "libzebt_duplicate.so already loaded from an earlier folder")) << out;
  EXPECT_TRUE(has(out, "Scheme loop stays with transport DUPLICATE from ext_lib")) << out;
  EXPECT_FALSE(has(out, "Duplicate transport scheme")) << out;
  EXPECT_TRUE(has(out, "Scheme loop served from ext_lib\n")) << out;
  EXPECT_TRUE(has(out, "Scheme dup served from ext_lib\n")) << out;
  EXPECT_TRUE(has(out, "Scheme e1 served from " + plugin_dir() + "\n")) << out;
}

TEST_F(TransportSearchTest, SearchPathFromEnvironmentOrCallerIsTheOnlyPlace) {
  place("ext_lib", "libzebt_loopback.so", plugin_dir());
  place("ext_lib", "libzebt_loopback.so", work_dir() + "/ext_lib");
  const std::string other = (root_ / "other").string();
  place("ext_lib_eight", "libzebt_eight.so", other);

  std::string out = probe({"loop"}, {{"ZEB_EXT_LIB_PATH", ""}});
  EXPECT_TRUE(has(out, "scheme loop: none\n")) << out;
  EXPECT_TRUE(has(out, "plug-ins loaded: 0\n")) << out;
  EXPECT_FALSE(has(out, "Searching")) << out;

  out = probe({"loop", "e1"}, {{"ZEB_EXT_LIB_PATH", other}});
  EXPECT_TRUE(has(out, "scheme loop: none\n")) << out;
  EXPECT_TRUE(has(out, "scheme e1: EIGHT id 0\n")) << out;
  EXPECT_FALSE(has(out, "Searching ext_lib")) << out;
  EXPECT_FALSE(has(out, "Searching " + plugin_dir())) << out;

  out = probe({"--path", other, "loop", "e1"});
  EXPECT_TRUE(has(out, "scheme loop: none\n")) << out;
  EXPECT_TRUE(has(out, "scheme e1: EIGHT id 0\n")) << out;
  EXPECT_FALSE(has(out, "Searching " + plugin_dir())) << out;

  // A missing folder named on purpose stays a warning.
  out = probe({"loop"}, {{"ZEB_EXT_LIB_PATH", (root_ / "missing").string()}});
  EXPECT_TRUE(has(out, "[warning] Couldn't open transport dir: " + (root_ / "missing").string()))
      << out;
}

TEST_F(TransportSearchTest, LinkToTheLibraryLeadsToItsRealInstallation) {
  place("ext_lib", "libzebt_loopback.so", plugin_dir());
  const fs::path linked = root_ / "linked";
  fs::create_directories(linked);
  fs::create_symlink(root_ / "lib" / "libzeb.so.0", linked / "libzeb.so.0");
  const std::string out = probe({"loop"}, {}, linked.string());
  EXPECT_TRUE(has(out, "scheme loop: LOOPBACK id 0\n")) << out;
  EXPECT_TRUE(has(out, "Scheme loop served from " + plugin_dir())) << out;
}

TEST_F(TransportSearchTest, NothingFoundAnywhereIsAWarning) {
  const std::string out = probe({"loop"});
  EXPECT_TRUE(has(out, "scheme loop: none\n")) << out;
  EXPECT_TRUE(has(out,
                  "[warning] TransportLoader: No ZEB extensions found in ext_lib or the "
                  "installation"))
      << out;
}

}  // namespace
