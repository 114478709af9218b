#pragma once

#include <stdexcept>
#include <string>

// A configuration file or member that cannot answer a query.
class ConfigError : public std::runtime_error {
public:
    explicit ConfigError(const std::string& what) : std::runtime_error(what) {}
};
