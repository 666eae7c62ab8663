#pragma once

#include <string>

#include <nlohmann/json.hpp>

// Resolves one configuration text: "$NAME" is the value of the environment
// variable NAME (empty when unset; "$" alone is empty), "$$..." is the text
// without its first "$", anything else is taken unchanged.
std::string resolve_value(const std::string& text);

// Rebuilds a document with every string value resolved (member names are left
// alone). An object or array without members comes out as null.
nlohmann::json substitute_environment(const nlohmann::json& document);
