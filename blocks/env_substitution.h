#pragma once

#include <string>

#include <nlohmann/json.hpp>

// Resolves one configuration text: "$NAME" is the value of the environment
// variable NAME (empty when unset; "$" alone is empty), "$$..." is the text
// without its first "$", anything else is taken unchanged.
std::string resolve_value(const std::string& text);

// Resolves every string value of a document in place (member names are left
// alone). An object or array without members becomes null.
void substitute_environment(nlohmann::json& document);
