#pragma once

#include <map>
#include <memory>
#include <string>

#include "support/child_process.h"

namespace weft_test {

// Starts build/weft-pipe on `config` (written to a fresh temporary file), with
// the built plug-ins and the given environment on top of the test's own.
std::unique_ptr<ChildProcess> run_weft_pipe(const std::string& config,
                                            std::map<std::string, std::string> env);

}  // namespace weft_test
