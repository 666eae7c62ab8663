#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "framework/block.h"

// Makes one block from its name and configuration object. A constructor that
// rejects its configuration throws std::invalid_argument.
using BlockFactory = std::function<std::unique_ptr<qor::Block>(const std::string& name,
                                                               const nlohmann::json& config)>;

// Every block type the program can build, keyed by upper-case type name in
// byte order (the order `-l` lists them in).
const std::map<std::string, BlockFactory>& block_factories();
