// A lens that cannot be opened, locked or read.
#pragma once

#include <stdexcept>
#include <string>

class HardwareException : public std::runtime_error {
public:
    explicit HardwareException(std::string const& message);
    ~HardwareException() override;
};
