#include "support/weft_pipe_run.h"

#include <vector>

namespace weft_test {

std::unique_ptr<ChildProcess> run_weft_pipe(const std::string& config,
                                            std::map<std::string, std::string> env) {
  const std::string path = temp_path("config.json");
  write_file(path, config);
  env.emplace("ZEB_EXT_LIB_PATH", build_dir() + "/ext_lib");
  return std::make_unique<ChildProcess>(build_dir() + "/weft-pipe",
                                        std::vector<std::string>{"-f", path}, env);
}

}  // namespace weft_test
